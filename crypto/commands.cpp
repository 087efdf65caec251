// SPDX-License-Identifier: MIT
// The token-gated digest and the serial-keyed cipher.
#include "crypto/commands.h"

#include <algorithm>
#include <cstring>

#include "crypto/hex.h"
#include "crypto/primitives.h"
#include "token/dev_mgnt.h"

namespace {

// Both commands digest exactly this many leading bytes (of the text, or of the serial number).
constexpr int kDigestedBytes = 15;
constexpr unsigned long kCipherHexChars = 48;

// The first 15 bytes of text, zero bytes past its end, so nothing beyond the text is read.
void first15(const unsigned char* text, std::size_t length, unsigned char (&bytes)[kDigestedBytes]) {
  std::memset(bytes, 0, sizeof bytes);
  std::memcpy(bytes, text, std::min(length, sizeof bytes));
}

// The reply text: count bytes as upper-case hex, terminated, into out.
void writeUpperHex(unsigned char* out, const unsigned char* bytes, int count) {
  char hex[49] = {};
  BytesToHexStr(hex, bytes, count);
  toUp(hex);
  std::memcpy(out, hex, 2 * static_cast<std::size_t>(count) + 1);
}

}  // namespace

unsigned char ZPSHA1(unsigned char* text, int length, unsigned char* out) {
  CDevMgntTest dev;
  const unsigned char connected = dev.Test_ConnectDev();
  if (connected != 1) return connected;

  unsigned char input[kDigestedBytes];
  first15(text, length > 0 ? static_cast<std::size_t>(length) : 0, input);
  unsigned char digest[21] = {};
  sha1Digest(input, sizeof input, digest);
  writeUpperHex(out, digest, 20);

  dev.Test_DisConnectDev();
  return 1;
}

unsigned char ZPCrypt(int /*parm2*/, int /*parm3*/, unsigned char* parm4, int /*parm5*/, unsigned char* out) {
  CDevMgntTest dev;
  unsigned char serial[33] = {};
  const unsigned char read = dev.Test_GetDevInfo(serial);
  if (read != 1) return read;

  // The serial buffer is zero-filled, so a short serial number is completed with zero bytes.
  unsigned char digest[21] = {};
  sha1Digest(serial, kDigestedBytes, digest);
  unsigned char key[17] = {};
  std::memcpy(key, digest, 16);

  char* hexIn = reinterpret_cast<char*>(parm4);
  toUp(hexIn);
  // Characters missing from a text shorter than 48 count as zero bytes, so nothing past it is read.
  char padded[kCipherHexChars + 1] = {};
  std::memcpy(padded, hexIn, std::min(std::strlen(hexIn), static_cast<std::size_t>(kCipherHexChars)));
  unsigned char plain[25] = {};
  HexStrToBytes(padded, kCipherHexChars, plain);

  unsigned char cipher[25] = {};
  tdes2KeyEcbEncrypt(key, plain, cipher, 3);

  writeUpperHex(out, cipher, 24);

  dev.Test_DisConnectDev();
  return 1;
}
