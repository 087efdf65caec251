// SPDX-License-Identifier: MIT
// The dispatcher on message bytes: what each request text is answered with, without a socket.
// No token is present here (the software token's state file does not exist).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/dispatcher.h"
#include "tests/service/expected_replies.h"

namespace {

std::string answer(const std::string& message) {
  return handleRequest(reinterpret_cast<const unsigned char*>(message.data()), message.size());
}

using expected::kUnknownEmpty;
using expected::kUnparsable;
using expected::kVersionReply;

class Dispatcher : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("SOFTTOKEN_STATE", "/nonexistent/tokenbridge-test/state.json", 1); }
};

struct Case {
  const char* name;
  std::string message;
  std::string expected;
};

TEST_F(Dispatcher, AnswersEveryRequestTextAsDefined) {
  const Case cases[] = {
      {"version", R"({"type":"GetLibVersion"})", kVersionReply},
      {"monitor", R"({"type":"StartMonitor"})", R"({"type":"StartMonitor", "code":"0", "data":"true"})"},
      {"empty message", "", kUnparsable},
      {"blanks only", " \t\r\n ", kUnparsable},
      {"unclosed object", R"({"type":"GetLibVersion")", kUnparsable},
      {"comma before brace", R"({"type":"GetLibVersion",})", kUnparsable},
      {"bad escape", R"({"type":"Get\qLibVersion"})", kUnparsable},
      {"unknown type echoed", R"({"type":"Foo"})", R"({"type":"Foo", "code":"-1", "data":"-1097"})"},
      {"empty object", "{}", kUnknownEmpty},
      {"null", "null", kUnknownEmpty},
      {"type null", R"({"type":null})", kUnknownEmpty},
      {"type empty", R"({"type":""})", kUnknownEmpty},
      {"type true", R"({"type":true})", R"({"type":"true", "code":"-1", "data":"-1097"})"},
      {"lower case", R"({"type":"getlibversion"})", R"({"type":"getlibversion", "code":"-1", "data":"-1097"})"},
      {"leading blank", R"({"type":" GetLibVersion"})", R"({"type":" GetLibVersion", "code":"-1", "data":"-1097"})"},
      {"trailing text ignored", R"({"type":"GetLibVersion"} trailing {"type":"Foo")", kVersionReply},
      {"block comment", R"(/* hello */ {"type":"GetLibVersion"})", kVersionReply},
      {"line comment", "{\"type\": // the version\n \"GetLibVersion\"}", kVersionReply},
      {"duplicate type, last wins", R"({"type":"Foo","type":"GetLibVersion"})", kVersionReply},
      {"NUL cuts the text", std::string("{\"type\":\"GetLibVersion\"}\0garbage", 32), kVersionReply},
      {"NUL inside the object", std::string("{\"type\":\"GetLibVersion\"\0}", 25), kUnparsable},
      {"escaped NUL cuts the type", R"({"type":"Foo\u0000Bar"})", R"({"type":"Foo", "code":"-1", "data":"-1097"})"},
      {"unread members hold anything", R"({"type":"GetLibVersion","parm1":[1,{"a":null}],"parm2":{"x":1e9}})",
       kVersionReply},
      {"surrogate pair in type", R"({"type":"\ud83d\ude00"})", "{\"type\":\"\xF0\x9F\x98\x80\", \"code\":\"-1\", \"data\":\"-1097\"}"},
      // Beyond what the members can be converted to: one unparsable reply, never a crash.
      {"top-level array", R"([{"type":"GetLibVersion"}])", kUnparsable},
      {"top-level string", R"("GetLibVersion")", kUnparsable},
      {"top-level number", "42", kUnparsable},
      {"top-level true", "true", kUnparsable},
      {"type is an array", R"({"type":["GetLibVersion"]})", kUnparsable},
      {"type is an object", R"({"type":{}})", kUnparsable},
      {"integer member is a string", R"({"type":"ZPCrypt","parm2":"7"})", kUnparsable},
      {"integer member out of range", R"({"type":"ZPCrypt","parm3":2147483648})", kUnparsable},
      {"text member is an array", R"({"type":"VerifyUserPin","parm2":[]})", kUnparsable},
      {"deeply nested", std::string(5000, '['), kUnparsable},
      // Numbers read as text are converted by the JSON library: the type 5 names no request.
      {"number as type", R"({"type":5})", R"({"type":"5", "code":"-1", "data":"-1097"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(answer(c.message), c.expected);
  }
}

TEST_F(Dispatcher, HundredThousandDeepArrayGetsOneUnparsableReply) {
  std::string message(100000, '[');
  message += std::string(100000, ']');
  EXPECT_EQ(answer(message), kUnparsable);
  EXPECT_EQ(answer(R"({"type":"GetLibVersion"})"), kVersionReply);
}

TEST_F(Dispatcher, WritesTheTwoDiagnosticLinesOnlyToAConsole) {
  // Without a console (the daemon's case) nothing is written, whatever standard output is.
  ::testing::internal::CaptureStdout();
  answer(R"({"type":"GetLibVersion"})");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  ::testing::internal::CaptureStdout();
  setDiagnosticConsole(stdout);
  answer(R"({"type":"GetLibVersion"})");
  answer("{");
  std::fflush(stdout);
  setDiagnosticConsole(nullptr);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed,
            "---------------end end----------\n"
            "-------------strOutData.c_str = " + kVersionReply + "----------\n"
            "---------------end end----------\n"
            "-------------strOutData.c_str = " + kUnparsable + "----------\n");
}

TEST_F(Dispatcher, IntegerMembersAcceptTheirWholeRange) {
  // Accepted conversions run the command (no token here: code 1, empty data).
  const char* messages[] = {
      R"({"type":"ZPCrypt","parm2":-2147483648,"parm3":2147483647,"parm5":null})",
      R"({"type":"ZPCrypt","parm2":true,"parm3":false,"parm5":3.9})",
  };
  for (const char* message : messages) {
    SCOPED_TRACE(message);
    EXPECT_EQ(answer(message), R"({"type":"ZPCrypt", "code":"1", "data":""})");
  }
}

}  // namespace
