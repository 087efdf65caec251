// SPDX-License-Identifier: MIT
// The page connections that wait for a person's answer: one map from each connection to its ticket
// and, from the 101 on, what holds its input back (`Held`: the WebSocket layer's hold in the
// daemon, a recorder in tests). The board's endings become the hold's answer: served, closed 4403
// on Block, closed 4408 on no answer or no agent, 4429 when the person's queue is full. A page
// the board decided at once (a remembered Block, a quiet period, a full queue) is closed so as
// soon as its 101 is out.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "service/consent/board.h"

inline constexpr std::uint16_t kCloseBlocked = 4403;
inline constexpr std::uint16_t kCloseUnanswered = 4408;
inline constexpr std::uint16_t kCloseBusy = 4429;
inline constexpr char kBlockedReason[] = "the person at this computer said no";
inline constexpr char kUnansweredReason[] = "no answer from the person at this computer";
inline constexpr char kBusyReason[] = "too many sites wait for the person at this computer";

template <class Connection, class Held>
class ConsentGate {
 public:
  // The board answered `wait` for the connection's upgrade request.
  void admitted(Connection connection, consent::TicketId ticket) { waiting_[connection] = Entry{ticket, {}, {}}; }
  // The board decided at once; the page learns how when its 101 is out.
  void decided(Connection connection, consent::Outcome outcome) { waiting_[connection] = Entry{0, {}, outcome}; }

  // The 101 went out: its input is held until the ticket finishes (or closed now, if decided).
  void hold(Connection connection, Held held) {
    const auto found = waiting_.find(connection);
    if (found == waiting_.end()) return;
    if (const std::optional<consent::Outcome> outcome = found->second.decided) {
      waiting_.erase(found);
      end(held, *outcome);
      return;
    }
    found->second.held.emplace(std::move(held));
  }
  // The hold could not be taken: the board forgets the ticket, and the connection stays undecided
  // (its messages are not served) until it closes.
  void abandon(Connection connection, consent::Board& board, consent::Clock::time_point now, consent::Effects& effects) {
    const auto found = waiting_.find(connection);
    if (found == waiting_.end()) return;
    board.leave(found->second.ticket, now, effects);
    found->second.ticket = 0;
  }

  // Its decision is not made: its messages are not served.
  bool undecided(Connection connection) const { return waiting_.contains(connection); }

  // The board ended the wait.
  void finish(const consent::Effects::Finish& finish) {
    auto found = waiting_.begin();
    while (found != waiting_.end() && (found->second.ticket != finish.ticket || finish.ticket == 0)) ++found;
    if (found == waiting_.end()) return;
    std::optional<Held> held = std::move(found->second.held);
    waiting_.erase(found);
    if (held) end(*held, finish.outcome);
  }

  // The connection closed while waiting: the board forgets it (and its question, if it was the
  // last). false: it was not waiting, nothing to carry out.
  bool closed(Connection connection, consent::Board& board, consent::Clock::time_point now, consent::Effects& effects) {
    const auto found = waiting_.find(connection);
    if (found == waiting_.end()) return false;
    const consent::TicketId ticket = found->second.ticket;
    waiting_.erase(found);
    if (ticket != 0) board.leave(ticket, now, effects);
    return true;
  }

  std::size_t waiting() const { return waiting_.size(); }

 private:
  struct Entry {
    consent::TicketId ticket = 0;  // 0: none (decided at once, or its hold could not be taken)
    std::optional<Held> held;      // from the 101 on
    std::optional<consent::Outcome> decided;
  };

  static void end(Held& held, consent::Outcome outcome) {
    switch (outcome) {
      case consent::Outcome::serve:
        held.resume();
        break;
      case consent::Outcome::blocked:
        held.close(kCloseBlocked, kBlockedReason);
        break;
      case consent::Outcome::timedOut:
        held.close(kCloseUnanswered, kUnansweredReason);
        break;
      case consent::Outcome::busy:
        held.close(kCloseBusy, kBusyReason);
        break;
    }
  }
  std::map<Connection, Entry> waiting_;
};
