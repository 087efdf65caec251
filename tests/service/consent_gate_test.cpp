// SPDX-License-Identifier: MIT
// Each way a wait ends reaches the held connection as its one answer, and a connection that closes
// while waiting takes its question off the agent's screen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/consent/gate.h"

namespace {

// Records the answer a held connection got.
struct Recorder {
  std::vector<std::string>* log;
  int id;
  void resume() { log->push_back(std::to_string(id) + " resume"); }
  void close(std::uint16_t status, const std::string& reason) {
    log->push_back(std::to_string(id) + " close " + std::to_string(status) + " " + reason);
  }
};

TEST(ConsentGate, EachEndingIsTheHeldConnectionsOneAnswer) {
  struct Case {
    consent::Outcome outcome;
    std::string expected;
  };
  const Case cases[] = {
      {consent::Outcome::serve, "1 resume"},
      {consent::Outcome::blocked, "1 close 4403 the person at this computer said no"},
      {consent::Outcome::timedOut, "1 close 4408 no answer from the person at this computer"},
      {consent::Outcome::busy, "1 close 4429 too many sites wait for the person at this computer"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.expected);
    std::vector<std::string> log;
    ConsentGate<int, Recorder> gate;
    gate.admitted(1, 7);
    gate.hold(1, Recorder{&log, 1});
    gate.finish({7, test.outcome});
    gate.finish({7, consent::Outcome::serve});  // a second ending for the same ticket counts for nothing
    gate.finish({8, consent::Outcome::serve});  // nor one for a ticket never held
    EXPECT_EQ(log, std::vector<std::string>{test.expected});
    EXPECT_EQ(gate.waiting(), 0u);
  }
}

TEST(ConsentGate, ADecisionMadeAtOnceClosesThePageAsSoonAsItsUpgradeIsDone) {
  std::vector<std::string> log;
  ConsentGate<int, Recorder> gate;
  gate.decided(1, consent::Outcome::blocked);
  EXPECT_TRUE(gate.undecided(1)) << "served before its 101";
  gate.hold(1, Recorder{&log, 1});
  EXPECT_EQ(log, std::vector<std::string>{"1 close 4403 the person at this computer said no"});
  EXPECT_FALSE(gate.undecided(1));
  EXPECT_EQ(gate.waiting(), 0u);
  // One that closes before its 101 is simply forgotten.
  consent::Store store("");
  consent::Board board({}, store);
  consent::Effects effects;
  gate.decided(2, consent::Outcome::busy);
  EXPECT_TRUE(gate.closed(2, board, consent::Clock::now(), effects));
  EXPECT_EQ(gate.waiting(), 0u);
  EXPECT_TRUE(effects.lines.empty());
}

TEST(ConsentGate, AConnectionClosedWhileWaitingWithdrawsItsQuestion) {
  consent::Store store("");
  consent::Board board({}, store);
  consent::Effects effects;
  board.agentJoined(1, 1000, consent::Clock::now(), effects);
  consent::TicketId ticket = 0;
  const auto now = consent::Clock::now();
  ASSERT_EQ(board.admit("https://x.example", false, 1000, now, ticket, effects), consent::Admission::wait);
  std::vector<std::string> log;
  ConsentGate<int, Recorder> gate;
  gate.admitted(1, ticket);
  gate.hold(1, Recorder{&log, 1});
  EXPECT_TRUE(gate.undecided(1));

  consent::Effects after;
  EXPECT_TRUE(gate.closed(1, board, now, after));
  ASSERT_EQ(after.lines.size(), 1u);
  EXPECT_EQ(after.lines[0].text, R"({"withdraw":"1"})");
  EXPECT_TRUE(log.empty()) << "a closed connection gets no answer";
  consent::Effects again;
  EXPECT_FALSE(gate.closed(1, board, now, again));
  EXPECT_FALSE(gate.undecided(1));
  EXPECT_TRUE(again.lines.empty());
}

}  // namespace
