// SPDX-License-Identifier: MIT
// The connection's rules without a socket, row by row: where each happening takes each state
// (reading, pause, hold, half-close, drain at close), and when a pull stops before a message.
#include "net/connection_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using net::Facts;
using net::Happening;
using net::State;
using net::Stop;

// The facts a row names; every other is false.
Facts with(std::string_view names) {
  Facts f;
  const auto has = [names](std::string_view name) { return names.find(name) != std::string_view::npos; };
  f.overUnsent = has("overUnsent");
  f.holding = has("holding");
  f.heldAtStart = has("heldAtStart");
  f.heldFull = has("heldFull");
  f.inputLeft = has("inputLeft");
  f.slowPeer = has("slowPeer");
  f.passDue = has("passDue");
  return f;
}

struct Row {
  const char* why;
  State from;
  Happening what;
  const char* facts;
  State to;
};

TEST(ConnectionState, Transitions) {
  const Row rows[] = {
      // A turn begins from epoll's report or the pass; a state that does not read stays.
      {"Asio's read completed", State::waiting, Happening::turnStarted, "", State::reading},
      {"the pass reached it", State::queued, Happening::turnStarted, "", State::reading},
      {"a paused connection has no turn", State::paused, Happening::turnStarted, "", State::paused},
      // A turn's end: output first, then the hold, then the budget, then the peer's pace.
      {"unsent output above the bound", State::reading, Happening::turnEnded, "overUnsent holding", State::paused},
      {"held input at its bound", State::reading, Happening::turnEnded, "holding heldFull", State::held},
      {"held, room for more input", State::reading, Happening::turnEnded, "holding inputLeft", State::queued},
      {"held, a slow peer waits in epoll", State::reading, Happening::turnEnded, "holding slowPeer", State::waiting},
      {"the budget ran out", State::reading, Happening::turnEnded, "inputLeft slowPeer", State::queued},
      {"a slow peer, no pass due", State::reading, Happening::turnEnded, "slowPeer", State::waiting},
      {"a slow peer joins a pass due anyway", State::reading, Happening::turnEnded, "slowPeer passDue", State::queued},
      {"a busy peer", State::reading, Happening::turnEnded, "", State::queued},
      {"a plain read found nothing", State::reading, Happening::nothingRead, "passDue", State::waiting},
      // The peer's end of stream.
      {"nothing waits: close after the output", State::reading, Happening::endOfStream, "", State::draining},
      {"a message is answered later: half-close", State::reading, Happening::endOfStream, "holding", State::finished},
      {"held since its upgrade: the page left", State::reading, Happening::endOfStream, "holding heldAtStart",
       State::closed},
      // The hold's answer.
      {"held input at its bound: the pass takes it", State::held, Happening::answered, "inputLeft", State::queued},
      {"held, and the answer filled the output", State::held, Happening::answered, "overUnsent", State::paused},
      {"waiting in Asio: stays, the input is taken in place", State::waiting, Happening::answered, "inputLeft",
       State::waiting},
      {"half-closed, more to take", State::finished, Happening::answered, "inputLeft", State::finished},
      {"half-closed, nothing more", State::finished, Happening::answered, "", State::draining},
      {"half-closed, all taken", State::finished, Happening::inputTaken, "", State::draining},
      {"half-closed, held again", State::finished, Happening::inputTaken, "holding", State::finished},
      // The output.
      {"paused, input in: the pass takes it first", State::paused, Happening::outputGone, "inputLeft", State::queued},
      {"paused, nothing in: wait in epoll", State::paused, Happening::outputGone, "", State::waiting},
      {"the last bytes went out", State::draining, Happening::outputGone, "", State::closed},
      {"draining reads nothing", State::draining, Happening::turnStarted, "", State::draining},
      {"draining ignores the end of stream", State::draining, Happening::endOfStream, "holding heldAtStart",
       State::draining},
      // Errors close from anywhere; closed is final.
      {"reset while waiting", State::waiting, Happening::failed, "", State::closed},
      {"error while draining", State::draining, Happening::failed, "", State::closed},
      {"closed stays closed", State::closed, Happening::turnStarted, "", State::closed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(net::transition(row.from, row.what, with(row.facts)), row.to);
  }
}

TEST(ConnectionState, PullStopsBeforeAMessage) {
  const struct {
    const char* why;
    bool holding;
    std::size_t unsent;
    std::size_t taken;
    bool budgeted;
    Stop stop;
  } rows[] = {
      {"nothing stops it", false, 0, 0, true, Stop::none},
      {"a hold", true, 0, 0, true, Stop::hold},
      {"the output at the bound still takes", false, net::kMaxUnsent, 0, true, Stop::none},
      {"the output above the bound", false, net::kMaxUnsent + 1, 0, true, Stop::room},
      {"the turn's budget spent", false, 0, net::kMessagesPerTurn, true, Stop::budget},
      {"no budget for input taken in place", false, 0, net::kMessagesPerTurn, false, Stop::none},
      {"a hold before the room", true, net::kMaxUnsent + 1, net::kMessagesPerTurn, true, Stop::hold},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(net::pullStop(row.holding, row.unsent, row.taken, row.budgeted), row.stop);
  }
}

}  // namespace
