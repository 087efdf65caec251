// SPDX-License-Identifier: MIT
// The reply envelope, character for character.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "service/reply.h"

namespace {

struct ReplyCase {
  const char* name;
  std::string type;
  const char* data;
  int code;
  std::string expected;
};

TEST(GetJsonData, FormsTheEnvelopeExactly) {
  const ReplyCase cases[] = {
      {"empty type gives VQUnSupport", "", "-1098", -1, R"({"type":"VQUnSupport", "code":"-1", "data":"-1098"})"},
      {"type and data", "GetLibVersion", "1.0.220104", 0, R"({"type":"GetLibVersion", "code":"0", "data":"1.0.220104"})"},
      {"empty data", "CloseDevice", "", 1, R"({"type":"CloseDevice", "code":"1", "data":""})"},
      {"smallest code", "X", "", INT_MIN, R"({"type":"X", "code":"-2147483648", "data":""})"},
      {"a blank is a type", " ", "-1097", -1, R"({"type":" ", "code":"-1", "data":"-1097"})"},
      {"nothing is escaped", "a\"b\\c\n", "d\"", 0, "{\"type\":\"a\"b\\c\n\", \"code\":\"0\", \"data\":\"d\"\"}"},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(getJsonData(c.type, c.data, c.code), c.expected);
  }
  EXPECT_EQ(getJsonData("", "-1098", -1).size(), 51u);
}

TEST(GetJsonData, LongTypeIsCutAt1023Characters) {
  const std::string type(2000, 'T');
  const std::string reply = getJsonData(type, "-1097", -1);
  ASSERT_EQ(reply.size(), 1023u);
  EXPECT_EQ(reply.substr(0, 9), "{\"type\":\"");
  EXPECT_EQ(reply.substr(9), std::string(1023 - 9, 'T'));
}

TEST(GetJsonData, ValuesThatJustFitAreNotCut) {
  // 33 fixed characters leave 990 for type, code and data together.
  const std::string type(990 - 1 - 3, 'a');  // code "0", data "xyz"
  const std::string reply = getJsonData(type, "xyz", 0);
  EXPECT_EQ(reply.size(), 1023u);
  EXPECT_EQ(reply.substr(reply.size() - 6), "\"xyz\"}");
}

TEST(TypeThatFits, ShortensAnEchoedTypeSoTheEnvelopeStaysWhole) {
  struct Case {
    const char* name;
    std::string type;
    std::string expectedType;
  };
  const std::string euro = "\xE2\x82\xAC";  // one character, three bytes
  const Case cases[] = {
      {"short type kept", "Foo", "Foo"},
      {"exactly fitting type kept", std::string(983, 'a'), std::string(983, 'a')},
      {"one byte too long", std::string(984, 'a'), std::string(983, 'a')},
      {"multi-byte character not split", std::string(982, 'a') + euro, std::string(982, 'a')},
      {"empty type stays empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string type = typeThatFits(c.type, "-1097", -1);
    EXPECT_EQ(type, c.expectedType);
    const std::string reply = getJsonData(type, "-1097", -1);
    EXPECT_LE(reply.size(), 1023u);
    EXPECT_EQ(reply.substr(reply.size() - 2), "\"}");
  }
}

}  // namespace
