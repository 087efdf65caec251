// SPDX-License-Identifier: MIT
// The page connections that wait for a person's answer, each with what holds its input back
// (`Held`: the WebSocket layer's hold in the daemon, a recorder in tests). The board's endings
// become the hold's answer: served, closed 4403 on Block, closed 4408 on no answer or no agent.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "service/consent/board.h"

inline constexpr std::uint16_t kCloseBlocked = 4403;
inline constexpr std::uint16_t kCloseUnanswered = 4408;
inline constexpr char kBlockedReason[] = "the person at this computer said no";
inline constexpr char kUnansweredReason[] = "no answer from the person at this computer";

template <class Held>
class ConsentGate {
 public:
  // A connection the board answered `wait` for: its input is held until the ticket finishes.
  void wait(consent::TicketId ticket, Held held) { waiting_.emplace(ticket, std::move(held)); }

  // The board ended the wait.
  void finish(const consent::Effects::Finish& finish) {
    const auto found = waiting_.find(finish.ticket);
    if (found == waiting_.end()) return;
    Held held = std::move(found->second);
    waiting_.erase(found);
    switch (finish.outcome) {
      case consent::Outcome::serve:
        held.resume();
        break;
      case consent::Outcome::blocked:
        held.close(kCloseBlocked, kBlockedReason);
        break;
      case consent::Outcome::timedOut:
        held.close(kCloseUnanswered, kUnansweredReason);
        break;
    }
  }

  // The connection closed while waiting: the board forgets it (and its question, if it was the last).
  void closed(consent::TicketId ticket, consent::Board& board, consent::Clock::time_point now, consent::Effects& effects) {
    if (waiting_.erase(ticket) != 0) board.leave(ticket, now, effects);
  }

  std::size_t waiting() const { return waiting_.size(); }

 private:
  std::map<consent::TicketId, Held> waiting_;
};
