// SPDX-License-Identifier: MIT
// Hexadecimal text helpers.
#include "crypto/hex.h"

#include <cstdio>

namespace {

// Plain arithmetic on the character taken as signed, so bytes 0x80..0xFF fall below '0'.
int digitValue(signed char c) {
  if (c < 58) return c - 48;
  if (c <= 70) return c - 55;
  return c - 87;
}

}  // namespace

void HexStrToBytes(const char* text, unsigned long count, void* out) {
  auto* bytes = static_cast<unsigned char*>(out);
  for (unsigned long i = 0; i < count; i += 2) {
    const int high = digitValue(static_cast<signed char>(text[i]));
    const int low = digitValue(static_cast<signed char>(text[i + 1]));
    // The low digit is not cut to four bits first: out-of-range values spill into the high half.
    bytes[i / 2] = static_cast<unsigned char>((static_cast<unsigned>(high) << 4) | static_cast<unsigned>(low));
  }
}

void BytesToHexStr(char* text, const unsigned char* bytes, int count) {
  for (int i = 0; i < count; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
}

void toUp(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 0x20);
  }
}
