// SPDX-License-Identifier: MIT
// The consent rules as scripts: each step is one event (a page connects, an agent joins, answers,
// leaves, time passes) and the line it must produce: the page's admission, the lines sent to
// agents and the waiting pages that finish.
#include <gtest/gtest.h>

#include <json/json.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "service/consent/board.h"

namespace {

using consent::Admission;
using consent::Board;
using consent::Clock;
using consent::Effects;
using consent::Outcome;

struct Step {
  std::string event;
  std::string expected;
};

struct Case {
  const char* name;
  consent::Mode mode;
  std::vector<Step> steps;
};

std::string describeLine(const Effects::Line& line) {
  Json::Value value;
  std::istringstream in(line.text);
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) return "bad json " + line.text;
  const std::string agent = "@" + std::to_string(line.agent);
  // "+N": N other sites wait behind the question.
  if (value.isMember("ask") && value.size() == 2) return "ask" + agent + " q" + value["ask"].asString() + " " + value["origin"].asString();
  if (value.isMember("ask") && value.size() == 3 && value["waiting"].isInt()) {
    return "ask" + agent + " q" + value["ask"].asString() + " " + value["origin"].asString() + " +" +
           std::to_string(value["waiting"].asInt());
  }
  if (value.isMember("withdraw") && value.size() == 1) return "withdraw" + agent + " q" + value["withdraw"].asString();
  return "unexpected " + line.text;
}

// Runs a script; pages are named by a word, so the finished ones can be listed by name.
class Script {
 public:
  explicit Script(consent::Mode mode) : store_(""), board_({mode, std::chrono::seconds(60), std::chrono::seconds(60), 4}, store_) {}

  // Events: "agent ID UID", "gone ID", "command ID" (it sent list or forget), "page NAME UID ORIGIN [listed]" (UID "?" for unknown),
  // "answer AGENT Q allow|block [remember]", "leave NAME", "at SECONDS" (also ticks).
  std::string run(const std::string& event) {
    std::istringstream words(event);
    std::string verb;
    words >> verb;
    Effects effects;
    std::string said;
    if (verb == "agent") {
      consent::AgentId agent;
      uid_t uid;
      words >> agent >> uid;
      board_.agentJoined(agent, uid, now_, effects);
    } else if (verb == "gone") {
      consent::AgentId agent;
      words >> agent;
      board_.agentLeft(agent, effects);
    } else if (verb == "command") {
      consent::AgentId agent;
      words >> agent;
      board_.agentWasCommand(agent, effects);
    } else if (verb == "page") {
      std::string name, uid, origin, listed;
      words >> name >> uid >> origin >> listed;
      if (origin == "-") origin.clear();
      std::optional<uid_t> known;
      if (uid != "?") known = static_cast<uid_t>(std::stoul(uid));
      consent::TicketId ticket = 0;
      const Admission admission = board_.admit(origin, listed == "listed", known, now_, ticket, effects);
      // The person's decisions reach the page after the 101, as a close it can read.
      const std::map<Admission, std::string> words = {{Admission::serve, "serve"},         {Admission::refuse, "refuse"},
                                                      {Admission::wait, "wait"},           {Admission::blocked, "101 4403"},
                                                      {Admission::unanswered, "101 4408"}, {Admission::busy, "101 4429"}};
      said = words.at(admission);
      if (admission == Admission::wait) names_[ticket] = name;
    } else if (verb == "answer") {
      consent::AgentId agent;
      std::string question, decision, remember;
      words >> agent >> question >> decision >> remember;
      board_.answer(agent, question, decision == "allow", remember == "remember", now_, effects);
    } else if (verb == "leave") {
      std::string name;
      words >> name;
      for (const auto& [ticket, named] : names_) {
        if (named == name) board_.leave(ticket, now_, effects);
      }
    } else if (verb == "at") {
      int seconds;
      words >> seconds;
      now_ = start_ + std::chrono::seconds(seconds);
      board_.tick(now_, effects);
    } else {
      return "unknown event";
    }
    for (const Effects::Line& line : effects.lines) said += (said.empty() ? "" : "; ") + describeLine(line);
    for (const Effects::Finish& finish : effects.finished) {
      const char* outcome = finish.outcome == Outcome::serve ? "serve" : finish.outcome == Outcome::blocked ? "4403" : "4408";
      said += (said.empty() ? "" : "; ") + names_[finish.ticket] + " " + outcome;
    }
    return said;
  }

 private:
  consent::Store store_;
  Board board_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point now_ = start_;
  std::map<consent::TicketId, std::string> names_;
};

TEST(ConsentBoard, EachScriptGivesItsAdmissionsQuestionsAndEndings) {
  using consent::Mode;
  const Case cases[] = {
      {"a listed origin, or no Origin at all, is served without a question", Mode::ask,
       {{"agent 1 1000", ""}, {"page a 1000 https://listed.example listed", "serve"}, {"page b 1000 -", "serve"}}},
      {"unknown-origin = allow serves everyone as before", Mode::allow,
       {{"agent 1 1000", ""}, {"page a 1000 https://x.example", "serve"}}},
      {"unknown-origin = refuse refuses what is not listed", Mode::refuse,
       {{"agent 1 1000", ""}, {"page a 1000 https://x.example", "refuse"}, {"page b 1000 https://y.example listed", "serve"}}},
      {"no agent of that user ever, or an unknown user while no agent runs: served as before", Mode::ask,
       {{"page b ? https://x.example", "serve"}, {"agent 1 1000", ""}, {"page a 1001 https://x.example", "serve"}}},
      {"an unknown user while any agent runs: refused (the page may be that agent's user's)", Mode::ask,
       {{"agent 1 1000", ""}, {"page a ? https://x.example", "refuse"}, {"gone 1", ""}, {"page b ? https://x.example", "serve"}}},
      {"a user who ran an agent: a page waits for one, is asked when it connects, 4408 at the timeout", Mode::ask,
       {{"agent 1 1000", ""},
        {"gone 1", ""},
        {"page a 1000 https://x.example", "wait"},
        {"agent 2 1000", "ask@2 q1 https://x.example"},
        {"answer 2 1 allow", "a serve"},
        {"gone 2", ""},
        {"page b 1000 https://y.example", "wait"},
        {"at 59", ""},
        {"at 60", "b 4408"},
        {"page c 1000 https://y.example", "wait"}}},
      {"a list or forget run does not count as running an agent", Mode::ask,
       {{"agent 1 1000", ""}, {"command 1", ""}, {"page a 1000 https://x.example", "serve"},
        {"agent 2 1001", ""}, {"agent 3 1001", ""}, {"command 3", ""}, {"gone 2", ""}, {"page b 1001 https://x.example", "wait"}}},
      {"Allow and remember: served, and not asked again", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"answer 1 1 allow remember", "a serve"},
        {"page b 1000 https://x.example", "serve"}}},
      {"Block and remember: closed 4403, then closed 4403 after the 101 without a question", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"answer 1 1 block remember", "a 4403"},
        {"at 3600", ""},
        {"page b 1000 https://x.example", "101 4403"}}},
      {"Allow once: the waiting page is served, the next one asks again", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"answer 1 1 allow", "a serve"},
        {"page b 1000 https://x.example", "wait; ask@1 q2 https://x.example"}}},
      {"Block once: closed 4403 for 60 s, then asked again", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"answer 1 1 block", "a 4403"},
        {"at 59", ""},
        {"page b 1000 https://x.example", "101 4403"},
        {"page c 1000 https://other.example", "wait; ask@1 q2 https://other.example"},
        {"answer 1 2 allow", "c serve"},
        {"at 60", ""},
        {"page d 1000 https://x.example", "wait; ask@1 q3 https://x.example"}}},
      {"no answer: 4408 and withdraw at the timeout, then closed 4408 for 60 s", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"at 59", ""},
        {"at 60", "withdraw@1 q1; a 4408"},
        {"answer 1 1 allow", ""},
        {"page b 1000 https://x.example", "101 4408"},
        {"at 120", ""},
        {"page c 1000 https://x.example", "wait; ask@1 q2 https://x.example"}}},
      {"one user's Allow does not admit another user's page", Mode::ask,
       {{"agent 1 1000", ""},
        {"agent 2 1001", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"answer 2 1 allow remember", ""},
        {"answer 1 1 allow remember", "a serve"},
        {"page b 1001 https://x.example", "wait; ask@2 q2 https://x.example"}}},
      {"6 origins at once: 1 asked, 4 waiting, the rest closed 4429; each answer asks the next", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://1.example", "wait; ask@1 q1 https://1.example"},
        {"page b 1000 https://2.example", "wait"},
        {"page c 1000 https://3.example", "wait"},
        {"page d 1000 https://4.example", "wait"},
        {"page e 1000 https://5.example", "wait"},
        {"page f 1000 https://6.example", "101 4429"},
        {"page g 1000 https://2.example", "wait"},
        {"answer 1 1 block", "ask@1 q2 https://2.example +3; a 4403"},
        {"answer 1 2 allow", "ask@1 q3 https://3.example +2; b serve; g serve"}}},
      {"a page waits at most the timeout from its arrival, queued behind another site or not", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://1.example", "wait; ask@1 q1 https://1.example"},
        {"at 30", ""},
        {"page b 1000 https://2.example", "wait"},
        {"at 50", ""},
        {"page c 1000 https://3.example", "wait"},
        {"at 60", "withdraw@1 q1; ask@1 q2 https://2.example +1; a 4408"},
        {"at 89", ""},
        {"at 90", "withdraw@1 q2; ask@1 q3 https://3.example; b 4408"},
        {"answer 1 3 allow", "c serve"}}},
      {"a queued site whose time ran out behind a question is never shown", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://1.example", "wait; ask@1 q1 https://1.example"},
        {"page b 1000 https://2.example", "wait"},
        {"at 60", "withdraw@1 q1; a 4408; b 4408"},
        {"page c 1000 https://3.example", "wait; ask@1 q2 https://3.example"}}},
      {"two agents of one user: both asked, the first answer wins, the other gets withdraw", Mode::ask,
       {{"agent 1 1000", ""},
        {"agent 2 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example; ask@2 q1 https://x.example"},
        {"answer 2 1 allow", "withdraw@1 q1; a serve"},
        {"answer 1 1 block", ""}}},
      {"an agent that joins while a question is on screen is asked too", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"agent 2 1000", "ask@2 q1 https://x.example"},
        {"answer 2 1 block", "withdraw@1 q1; a 4403"}}},
      {"the last agent gone: every waiting page of that user gets 4408; the next waits for one to come", Mode::ask,
       {{"agent 1 1000", ""},
        {"agent 2 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example; ask@2 q1 https://x.example"},
        {"page b 1000 https://y.example", "wait"},
        {"gone 1", ""},
        {"gone 2", "a 4408; b 4408"},
        {"page c 1000 https://z.example", "wait"}}},
      {"at most 4 connections of a user wait for one origin", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"page b 1000 https://x.example", "wait"},
        {"page c 1000 https://x.example", "wait"},
        {"page d 1000 https://x.example", "wait"},
        {"page e 1000 https://x.example", "101 4429"},
        {"page f 1001 https://x.example", "serve"},
        {"leave a", ""},
        {"page g 1000 https://x.example", "wait"}}},
      {"at most 10 new questions per user and minute", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://1.example", "wait; ask@1 q1 https://1.example"}, {"answer 1 1 allow", "a serve"},
        {"page a 1000 https://2.example", "wait; ask@1 q2 https://2.example"}, {"answer 1 2 allow", "a serve"},
        {"page a 1000 https://3.example", "wait; ask@1 q3 https://3.example"}, {"answer 1 3 allow", "a serve"},
        {"page a 1000 https://4.example", "wait; ask@1 q4 https://4.example"}, {"answer 1 4 allow", "a serve"},
        {"page a 1000 https://5.example", "wait; ask@1 q5 https://5.example"}, {"answer 1 5 allow", "a serve"},
        {"page a 1000 https://6.example", "wait; ask@1 q6 https://6.example"}, {"answer 1 6 allow", "a serve"},
        {"page a 1000 https://7.example", "wait; ask@1 q7 https://7.example"}, {"answer 1 7 allow", "a serve"},
        {"page a 1000 https://8.example", "wait; ask@1 q8 https://8.example"}, {"answer 1 8 allow", "a serve"},
        {"page a 1000 https://9.example", "wait; ask@1 q9 https://9.example"}, {"answer 1 9 allow", "a serve"},
        {"at 59", ""},
        {"page a 1000 https://10.example", "wait; ask@1 q10 https://10.example"}, {"answer 1 10 allow", "a serve"},
        {"page b 1000 https://11.example", "101 4429"},
        {"at 60", ""},
        {"page b 1000 https://11.example", "wait; ask@1 q11 https://11.example"},
        {"page c 1000 https://12.example", "wait"}}},
      {"a page that leaves takes its question along once no page waits for it", Mode::ask,
       {{"agent 1 1000", ""},
        {"page a 1000 https://x.example", "wait; ask@1 q1 https://x.example"},
        {"page b 1000 https://x.example", "wait"},
        {"page c 1000 https://y.example", "wait"},
        {"leave a", ""},
        {"leave b", "withdraw@1 q1; ask@1 q2 https://y.example"},
        {"leave c", "withdraw@1 q2"},
        {"page d 1000 https://x.example", "wait; ask@1 q3 https://x.example"}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Script script(test.mode);
    for (const Step& step : test.steps) EXPECT_EQ(script.run(step.event), step.expected) << step.event;
  }
}

TEST(ConsentBoard, TheQuietPeriodsOfAUserAreBoundedTheOldestGoes) {
  consent::Store store("");
  consent::Settings settings;
  settings.maxNewQuestionsPerMinute = 1000;  // this many questions within a second
  Board board(settings, store);
  Effects effects;
  const Clock::time_point start = Clock::now();
  board.agentJoined(1, 1000, start, effects);
  const auto origin = [](std::size_t i) { return "https://" + std::to_string(i) + ".example"; };
  for (std::size_t i = 0; i <= consent::kMaxQuietOrigins; ++i) {
    const Clock::time_point now = start + std::chrono::milliseconds(i);
    consent::TicketId ticket = 0;
    ASSERT_EQ(board.admit(origin(i), false, 1000, now, ticket, effects), Admission::wait);
    board.answer(1, std::to_string(i + 1), false, false, now, effects);
  }
  consent::TicketId ticket = 0;
  const Clock::time_point later = start + std::chrono::seconds(1);
  EXPECT_EQ(board.admit(origin(0), false, 1000, later, ticket, effects), Admission::wait) << "the oldest went";
  EXPECT_EQ(board.admit(origin(1), false, 1000, later, ticket, effects), Admission::blocked);
  EXPECT_EQ(board.admit(origin(consent::kMaxQuietOrigins), false, 1000, later, ticket, effects), Admission::blocked);
}

TEST(ConsentBoard, AnOriginTooLongOrNotPrintableAsciiIsRefusedNotAsked) {
  consent::Store store("");
  Board board({}, store);
  Effects effects;
  board.agentJoined(1, 1000, Clock::now(), effects);
  consent::TicketId ticket = 0;
  const std::string longest = "https://" + std::string(consent::kMaxOriginBytes - 16, 'a') + ".example";
  ASSERT_EQ(longest.size(), consent::kMaxOriginBytes);
  EXPECT_EQ(board.admit(longest + "x", false, 1000, Clock::now(), ticket, effects), Admission::refuse);
  for (const std::string& unlike : {std::string("https://caf\xc3\xa9.example"), std::string("https://a\x7f.example"),
                                    std::string("https://a b.example"), std::string("https://\xff.example")}) {
    EXPECT_EQ(board.admit(unlike, false, 1000, Clock::now(), ticket, effects), Admission::refuse) << unlike;
    EXPECT_EQ(board.admit(unlike, false, 1001, Clock::now(), ticket, effects), Admission::refuse) << "no agent: " << unlike;
  }
  EXPECT_EQ(board.admit(longest, false, 1000, Clock::now(), ticket, effects), Admission::wait);
}

}  // namespace
