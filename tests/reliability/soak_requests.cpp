// SPDX-License-Identifier: MIT
// Builds the soak's requests and computes their replies independently of the service: digests and
// cipher blocks with the crypto library directly, envelopes by hand.
#include "tests/reliability/soak_requests.h"

#include <mbedtls/des.h>
#include <mbedtls/sha1.h>

#include <array>
#include <cstdio>
#include <utility>

namespace soak {

namespace {

std::string envelope(const std::string& type, const std::string& code, const std::string& data) {
  return "{\"type\":\"" + type + "\", \"code\":\"" + code + "\", \"data\":\"" + data + "\"}";
}

const std::string kUnparsable = envelope("VQUnSupport", "-1", "-1098");

std::string upperHex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::array<unsigned char, 20> sha1(const std::string& bytes) {
  std::array<unsigned char, 20> digest{};
  mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

// Printable text without quote or backslash, so it stands in a JSON string as it is.
std::string randomText(std::mt19937_64& random, std::size_t length) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,:;!?-_()";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(kAlphabet[pick(random)]);
  return text;
}

std::size_t uniform(std::mt19937_64& random, std::size_t low, std::size_t high) {
  return std::uniform_int_distribution<std::size_t>(low, high)(random);
}

// Texts that do not parse as JSON, each answered as unparsable.
constexpr const char* kUnparsableTexts[] = {
    "",
    "   \r\n\t ",
    "{\"type\":\"GetLibVersion\"",
    "{\"type\":\"GetLibVersion\",}",
    "{\"type\" \"GetLibVersion\"}",
    "{\"type\":\"Get\\qLibVersion\"}",
    "[1 2]",
    "{\"type\":\"GetLibVersion\" \"parm1\":1}",
    "/* unterminated comment",
    "{\"type\":\"ZPCrypt\",\"parm2\":\"seven\"}",
    "[{\"type\":\"GetLibVersion\"}]",
    "{\"type\":\"VerifyUserPin\",\"parm2\":[\"12345678\"]}",
};

}  // namespace

RequestMaker::RequestMaker(TokenFacts token, std::vector<std::string> corpus)
    : token_(std::move(token)), corpus_(std::move(corpus)) {
  const std::array<unsigned char, 20> digest = sha1(token_.serial.substr(0, 15));
  cipherKey_.assign(reinterpret_cast<const char*>(digest.data()), 16);
}

Request RequestMaker::valid(std::mt19937_64& random) const { return valid(uniform(random, 0, kValidKinds - 1), random); }

Request RequestMaker::valid(std::size_t kind, std::mt19937_64& random) const {
  switch (kind) {
    case 0:
      return {R"({"type":"StartMonitor"})", envelope("StartMonitor", "0", "true"), "StartMonitor"};
    case 1:
      return {R"({"type":"OpenDevice"})", envelope("OpenDevice", "0", "TRUE"), "OpenDevice"};
    case 2:
      return {R"({"type":"GetDevState"})", envelope("GetDevState", "0", "1"), "GetDevState"};
    case 3:
      return {R"({"type":"VerifyUserPin","parm2":")" + token_.userPin + "\"}", envelope("VerifyUserPin", "0", "1"),
              "VerifyUserPin"};
    case 4:
      return {R"({"type":"GetUserName"})", envelope("GetUserName", "0", token_.serial), "GetUserName"};
    case 5:
      return {R"({"type":"ChangeUserPin","parm1":")" + token_.userPin + R"(","parm2":")" + token_.userPin + "\"}",
              envelope("ChangeUserPin", "0", "-1"), "ChangeUserPin"};
    case 6:
      return {R"({"type":"UnblockUserPin","parm1":")" + token_.adminPin + R"(","parm2":")" + token_.userPin + "\"}",
              envelope("UnblockUserPin", "0", "-1"), "UnblockUserPin"};
    case 7:
      return {R"({"type":"GetLibVersion"})", envelope("GetLibVersion", "0", "1.0.220104"), "GetLibVersion"};
    case 8: {
      const std::string text = randomText(random, uniform(random, 15, 60));
      const std::array<unsigned char, 20> digest = sha1(text.substr(0, 15));
      return {R"({"type":"ZPSHA1","parm1":")" + text + "\"}", envelope("ZPSHA1", "0", upperHex(digest.data(), 20)),
              "ZPSHA1"};
    }
    case 9: {
      unsigned char plain[24];
      for (unsigned char& byte : plain) byte = static_cast<unsigned char>(uniform(random, 0, 255));
      mbedtls_des3_context context;
      mbedtls_des3_init(&context);
      mbedtls_des3_set2key_enc(&context, reinterpret_cast<const unsigned char*>(cipherKey_.data()));
      unsigned char cipher[24];
      for (int block = 0; block < 3; ++block) mbedtls_des3_crypt_ecb(&context, plain + 8 * block, cipher + 8 * block);
      mbedtls_des3_free(&context);
      return {R"({"type":"ZPCrypt","parm2":1,"parm3":2,"parm4":")" + upperHex(plain, 24) + R"(","parm5":3})",
              envelope("ZPCrypt", "0", upperHex(cipher, 24)), "ZPCrypt"};
    }
    default:
      return {R"({"type":"CloseDevice"})", envelope("CloseDevice", "0", ""), "CloseDevice"};
  }
}

Request RequestMaker::malformed(std::mt19937_64& random) const {
  const std::size_t count = sizeof kUnparsableTexts / sizeof kUnparsableTexts[0];
  return {kUnparsableTexts[uniform(random, 0, count - 1)], kUnparsable, "malformed"};
}

Request RequestMaker::corpus(std::mt19937_64& random) const {
  if (corpus_.empty()) return malformed(random);
  return {corpus_[uniform(random, 0, corpus_.size() - 1)], "", "corpus"};
}

Request RequestMaker::large(std::mt19937_64& random, std::size_t bytes) const {
  const std::string head = randomText(random, 15);
  const std::array<unsigned char, 20> digest = sha1(head);
  std::string text = R"({"type":"ZPSHA1","parm1":")" + head;
  text.append(bytes > text.size() + 2 ? bytes - text.size() - 2 : 0, 'x');
  text += "\"}";
  return {std::move(text), envelope("ZPSHA1", "0", upperHex(digest.data(), 20)), "large"};
}

Request RequestMaker::bulky(std::mt19937_64& random) const {
  const std::string type = "Soak-" + randomText(random, 900);
  return {R"({"type":")" + type + "\"}", envelope(type, "-1", "-1097"), "unknown"};
}

Request RequestMaker::any(std::mt19937_64& random) const {
  const std::size_t roll = uniform(random, 0, 99);
  if (roll < 70) return valid(random);
  if (roll < 80) {
    // Unknown types are unique per request, so a reply that went to the wrong place shows.
    const std::string type = "Soak-" + randomText(random, uniform(random, 4, 40));
    return {R"({"type":")" + type + "\"}", envelope(type, "-1", "-1097"), "unknown"};
  }
  if (roll < 90) return malformed(random);
  return corpus(random);
}

}  // namespace soak
