// SPDX-License-Identifier: MIT
// The agent protocol's lines: what each side accepts, and what it turns away without throwing.
#include <gtest/gtest.h>

#include <string>

#include "service/consent/agent_line.h"

namespace {

namespace line = consent::agent_line;

// What a parsed request reads as, in one word and its fields; "none" when the line is refused whole.
std::string describe(const std::optional<line::Request>& request) {
  if (!request) return "none";
  if (const auto* answer = std::get_if<line::Answer>(&*request)) {
    return "answer " + answer->question + (answer->allow ? " allow" : " block") + (answer->remember ? " remember" : "");
  }
  if (std::holds_alternative<line::List>(*request)) return "list";
  if (const auto* forget = std::get_if<line::Forget>(&*request)) return "forget " + forget->origin;
  return "invalid: " + std::get<line::Invalid>(*request).why;
}

TEST(AgentLine, RequestsAreCheckedFieldByField) {
  const std::string deep = std::string(1100, '[') + std::string(1100, ']');
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      {R"({"answer":"1","decision":"allow","remember":true})", "answer 1 allow remember"},
      {R"({"answer":"7","decision":"block"})", "answer 7 block"},
      {R"({"list":true})", "list"},
      {R"({"forget":"https://a.example"})", "forget https://a.example"},
      // Wrong types: each of these ended the daemon once.
      {R"({"answer":"1","decision":[]})", R"(invalid: decision must be "allow" or "block")"},
      {R"({"answer":"9","decision":"allow","remember":"yes"})", "invalid: remember must be true or false"},
      {R"({"answer":1,"decision":"allow"})", "invalid: answer must be a string"},
      {R"({"answer":"1","decision":"maybe"})", R"(invalid: decision must be "allow" or "block")"},
      {R"({"answer":"1","decision":null})", R"(invalid: decision must be "allow" or "block")"},
      {R"({"forget":{"a":1}})", "invalid: forget must be a string"},
      {R"({"list":"yes"})", "invalid: list must be true"},
      {R"({"hello":1})", "invalid: expected answer, list or forget"},
      // Not one flat object: the peer is not speaking the protocol.
      {"[1,2]", "none"},
      {"\"text\"", "none"},
      {"", "none"},
      {"{", "none"},
      {R"({"list":true} {"list":true})", "none"},
      {R"({"list":true,"list":true})", "none"},
      {"{\"a\":" + deep + "}", "none"},
      {R"({"a":[[[[[1]]]]]})", "none"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(line::parseRequest(c.line)), c.expected) << c.line;
  }
}

TEST(AgentLine, EveryLineFormattedIsReadBackTheSame) {
  const line::Request requests[] = {line::Answer{"3", true, false}, line::List{}, line::Forget{"http://b.example:8080"}};
  for (const line::Request& request : requests) {
    EXPECT_EQ(describe(line::parseRequest(line::format(request))), describe(request));
  }
  const line::Message messages[] = {
      line::Ask{"4", "https://a.example"},
      line::Ask{"5", "https://b.example", 3},
      line::Withdraw{"4"},
      line::Remembered{{{"https://a.example", true}, {"https://b.example", false}}},
      line::Remembered{},
      line::Forgot{"https://a.example", true},
      line::Error{"expected answer, list or forget"},
  };
  for (const line::Message& message : messages) {
    const std::string text = line::format(message);
    const std::optional<line::Message> back = line::parseMessage(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(line::format(*back), text);
  }
}

TEST(AgentLine, AQuestionSaysHowManyOtherSitesWait) {
  const struct {
    std::string line;
    int waiting;  // -1: the line is refused
  } cases[] = {
      {R"({"ask":"1","origin":"https://a.example"})", 0},  // from a daemon that does not count
      {R"({"ask":"1","origin":"https://a.example","waiting":0})", 0},
      {R"({"ask":"1","origin":"https://a.example","waiting":2})", 2},
      {R"({"ask":"1","origin":"https://a.example","waiting":-1})", -1},
      {R"({"ask":"1","origin":"https://a.example","waiting":1.5})", -1},
      {R"({"ask":"1","origin":"https://a.example","waiting":"2"})", -1},
      {R"({"ask":"1","origin":"https://a.example","waiting":4294967296})", -1},
      {R"({"ask":"1","origin":"https://a.example","waiting":null})", -1},
  };
  for (const auto& c : cases) {
    const std::optional<line::Message> message = line::parseMessage(c.line);
    if (c.waiting < 0) {
      EXPECT_FALSE(message) << c.line;
      continue;
    }
    ASSERT_TRUE(message && std::holds_alternative<line::Ask>(*message)) << c.line;
    EXPECT_EQ(std::get<line::Ask>(*message).waiting, c.waiting) << c.line;
  }
  // Nobody waiting: the line is the one older agents read.
  EXPECT_EQ(line::format(line::Ask{"1", "https://a.example"}), R"({"ask":"1","origin":"https://a.example"})");
  EXPECT_EQ(line::format(line::Ask{"1", "https://a.example", 2}),
            R"({"ask":"1","origin":"https://a.example","waiting":2})");
}

TEST(AgentLine, TheAgentTurnsAwayMessagesItCannotUse) {
  const char* refused[] = {
      R"({"ask":"1"})",                                        // no origin
      R"({"ask":"1","origin":5})",
      R"({"remembered":[{"origin":"https://a.example"}]})",   // no decision
      R"({"remembered":[{"origin":"x","decision":"maybe"}]})",
      R"({"remembered":["https://a.example"]})",
      R"({"remembered":{}})",
      R"({"forgot":"https://a.example"})",                   // no found
      R"({"nothing":true})",
      "[]",
  };
  for (const char* text : refused) EXPECT_FALSE(line::parseMessage(text)) << text;
}

}  // namespace
