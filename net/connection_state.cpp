// SPDX-License-Identifier: MIT
// The connection's transition rules: one function, no I/O.
#include "net/connection_state.h"

namespace net {
namespace {

// A turn's end: the unsent output first, then the hold, then the budget, then the peer's pace.
State afterTurn(const Facts& facts) {
  if (facts.overUnsent) return State::paused;
  if (facts.holding && facts.heldFull) return State::held;
  if (facts.inputLeft && !facts.holding) return State::queued;  // the budget ran out: the rest after the others
  // A peer slower than the loop, and no pass due for others: a pass would find nothing, so the
  // wait starts at once. When one is due anyway, joining it costs nothing.
  if (facts.slowPeer && !facts.passDue) return State::waiting;
  return State::queued;
}

// The peer sends nothing more. Held since its upgrade, it was served nothing and a page cannot
// half-close: it left, and the connection ends now. Otherwise what it sent is still answered.
State afterEndOfStream(const Facts& facts) {
  if (facts.holding && facts.heldAtStart) return State::closed;
  if (facts.holding || facts.inputLeft) return State::finished;
  return State::draining;
}

}  // namespace

State transition(State from, Happening what, const Facts& facts) {
  if (from == State::closed || what == Happening::failed) return State::closed;
  if (from == State::draining) return what == Happening::outputGone ? State::closed : State::draining;
  switch (what) {
    case Happening::turnStarted:
      return from == State::waiting || from == State::queued ? State::reading : from;
    case Happening::turnEnded:
      return from == State::reading ? afterTurn(facts) : from;
    case Happening::nothingRead:
      return from == State::reading ? State::waiting : from;
    case Happening::endOfStream:
      return afterEndOfStream(facts);
    case Happening::answered:
      if (from == State::held) return facts.overUnsent ? State::paused : State::queued;
      if (from == State::finished && !facts.inputLeft) return State::draining;
      return from;
    case Happening::inputTaken:
      return from == State::finished && !facts.holding && !facts.inputLeft ? State::draining : from;
    case Happening::outputGone:
      if (from == State::paused) return facts.inputLeft ? State::queued : State::waiting;
      return from;
    default:
      return from;
  }
}

Stop pullStop(bool holding, std::size_t unsent, std::size_t messagesTaken, bool budgeted) {
  if (holding) return Stop::hold;
  if (unsent > kMaxUnsent) return Stop::room;
  if (budgeted && messagesTaken >= kMessagesPerTurn) return Stop::budget;
  return Stop::none;
}

}  // namespace net
