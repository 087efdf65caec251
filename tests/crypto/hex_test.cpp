// SPDX-License-Identifier: MIT
// The hex helpers' arithmetic, including characters that are not hex digits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/hex.h"

namespace {

struct ToBytesCase {
  const char* name;
  std::string text;  // may hold NUL bytes
  unsigned long count;
  std::vector<unsigned char> expected;
};

TEST(HexStrToBytes, ConvertsByItsArithmeticRule) {
  const ToBytesCase cases[] = {
      {"mixed case 1a2B", "1a2B", 4, {0x1A, 0x2B}},
      {"mixed case 1A2b", "1A2b", 4, {0x1A, 0x2B}},
      {"all digits", "0123456789abcdef", 16, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
      {"1g: g counts 16", "1g", 2, {0x10}},
      {"g1: low 8 bits of 256|1", "g1", 2, {0x01}},
      {"1G: G counts -16", "1G", 2, {0xF0}},
      {"colon counts 3, ? counts 8", ":?", 2, {0x38}},
      {"NUL counts -48 and does not stop", std::string("1\0" "23", 4), 4, {0xD0, 0x23}},
      {"byte 0x80 counts -176", std::string("0\x80", 2), 2, {0x50}},
      {"byte 0xFF counts -49", std::string("\xFF" "0", 2), 2, {0xF0}},
      {"count 0 writes nothing", "ab", 0, {}},
  };
  for (const ToBytesCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> out(c.expected.size() + 1, 0xEE);
    HexStrToBytes(c.text.data(), c.count, out.data());
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.expected);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past count/2 bytes";
  }
}

TEST(BytesToHexStr, WritesLowerCaseAndOneTerminator) {
  const unsigned char bytes[] = {0x00, 0xFF, 0x0A};
  char text[8];
  std::memset(text, 'x', sizeof text);
  BytesToHexStr(text, bytes, 3);
  EXPECT_EQ(std::string(text, 8), std::string("00ff0a\0x", 8));
  toUp(text);
  EXPECT_STREQ(text, "00FF0A");
}

TEST(BytesToHexStr, NonPositiveCountWritesNothing) {
  const unsigned char bytes[] = {0x12};
  for (int count : {0, -1}) {
    SCOPED_TRACE(count);
    char text[4] = {'x', 'x', 'x', 'x'};
    BytesToHexStr(text, bytes, count);
    EXPECT_EQ(std::string(text, 4), "xxxx");
  }
}

TEST(ToUp, ChangesOnlyAsciiLetters) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"letters and digits", "az09AZ", "AZ09AZ"},
      {"punctuation and braces", "{|}`@[", "{|}`@["},
      {"UTF-8 bytes unchanged", "\xC3\xA4\xE2\x82\xAC", "\xC3\xA4\xE2\x82\xAC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = c.text;
    toUp(text.data());
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(text.c_str()[text.size()], '\0');
  }
}

}  // namespace
