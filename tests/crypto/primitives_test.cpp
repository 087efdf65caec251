// SPDX-License-Identifier: MIT
// The digest and cipher primitives against published known answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/hex.h"
#include "crypto/primitives.h"

namespace {

std::vector<unsigned char> bytes(const std::string& hex) {
  std::vector<unsigned char> out(hex.size() / 2);
  HexStrToBytes(hex.c_str(), hex.size(), out.data());
  return out;
}

std::string hex(const unsigned char* data, int size) {
  std::string text(2 * size + 1, '\0');
  BytesToHexStr(text.data(), data, size);
  text.pop_back();
  return text;
}

TEST(KnownAnswers, Sha1Over15Bytes) {
  // NIST CAVP, SHA1ShortMsg.rsp (byte-oriented), Len = 120.
  const std::vector<unsigned char> message = bytes("3a36ea49684820a2adc7fc4175ba78");
  ASSERT_EQ(message.size(), 15u);
  unsigned char digest[20];
  sha1Digest(message.data(), message.size(), digest);
  EXPECT_EQ(hex(digest, 20), "d58a262ee7b6577c07228e71ae9b3e04c8abcda9");
}

TEST(KnownAnswers, TwoKeyTripleDesEcb) {
  // NIST CAVP, TECBMMT2.rsp (keying option 2, K3 = K1), [ENCRYPT] COUNT = 1.
  const std::vector<unsigned char> key = bytes("259df16e7af804fe83b90e9bf7c7e557");
  const std::vector<unsigned char> plain = bytes("a4619c433bbd6787c07c81728f9ac9fa");
  std::vector<unsigned char> cipher(plain.size());
  tdes2KeyEcbEncrypt(key.data(), plain.data(), cipher.data(), plain.size() / 8);
  EXPECT_EQ(hex(cipher.data(), static_cast<int>(cipher.size())), "9e06de155c483c6bcfd834dbc8bd5830");
}

TEST(KnownAnswers, EcbEnciphersEqualBlocksAlike) {
  const std::vector<unsigned char> key = bytes("259df16e7af804fe83b90e9bf7c7e557");
  const std::vector<unsigned char> plain = bytes("a4619c433bbd6787a4619c433bbd6787c07c81728f9ac9fa");
  std::vector<unsigned char> cipher(plain.size());
  tdes2KeyEcbEncrypt(key.data(), plain.data(), cipher.data(), 3);
  EXPECT_EQ(hex(cipher.data(), 24), "9e06de155c483c6b9e06de155c483c6bcfd834dbc8bd5830");
}

}  // namespace
