// SPDX-License-Identifier: MIT
// Who may use the token when a page of an origin nobody listed connects: the per-user questions,
// their queue, their answers and the connections waiting on them. No sockets and no clock of its
// own: callers pass the time and carry out the returned effects (lines to agents, connections to
// serve or close), so every rule can be checked from a table.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "service/consent/store.h"

namespace consent {

using Clock = std::chrono::steady_clock;
using AgentId = std::uint64_t;   // one connected agent
using TicketId = std::uint64_t;  // one page connection waiting for a decision

inline constexpr std::size_t kMaxQuietOrigins = 64;  // per user

enum class Mode { ask, allow, refuse };  // what an origin not in allow-origin gets

struct Settings {
  Mode mode = Mode::ask;
  std::chrono::seconds timeout{60};      // an unanswered question closes its connections
  std::chrono::seconds quiet{60};        // after Block or no answer, the origin is refused this long
  std::size_t maxWaitingOrigins = 4;     // per user, besides the one on screen
  std::size_t maxWaitingPerOrigin = 4;   // connections of one user waiting for one origin's answer
  std::size_t maxNewQuestionsPerMinute = 10;  // per user: origins not waiting yet, each a new question
};

// What happens to a new page connection. `refuse` is the 403: the operator's rules, or a page
// nobody can be asked about. The person's own decisions (a remembered Block, the quiet period
// after a Block or no answer, a queue that is full) reach the page as a close after the 101, which
// a page can tell from a missing service: `blocked` 4403, `unanswered` 4408, `busy` 4429.
enum class Admission { serve, refuse, wait, blocked, unanswered, busy };

// How a waiting connection ends.
enum class Outcome { serve, blocked, timedOut, busy };  // closed 4403, 4408, 4429

struct Effects {
  struct Line {
    AgentId agent;
    std::string text;  // one JSON object, without the newline
    bool operator==(const Line&) const = default;
  };
  struct Finish {
    TicketId ticket;
    Outcome outcome;
    bool operator==(const Finish&) const = default;
  };
  std::vector<Line> lines;
  std::vector<Finish> finished;
};

class Board {
 public:
  Board(Settings settings, Store& store) : settings_(settings), store_(store) {}

  // A page connection of `origin` (empty: no Origin header) whose process runs as `uid` (none: not
  // known). `listed`: the origin is in allow-origin. On `wait`, `ticket` names it until it finishes.
  Admission admit(const std::string& origin, bool listed, std::optional<uid_t> uid, Clock::time_point now,
                  TicketId& ticket, Effects& effects);
  // The waiting connection closed on its own: it is forgotten, and its question too if nobody else waits.
  void leave(TicketId ticket, Clock::time_point now, Effects& effects);

  // An agent connected. Its user is remembered (in the store) as one who runs an agent: from then
  // on, that user's pages wait for an agent (up to the timeout) when none is connected.
  void agentJoined(AgentId agent, uid_t uid, Clock::time_point now, Effects& effects);
  // The agent's connection ended: with no agent left for its user, that user's waiting connections time out.
  void agentLeft(AgentId agent, Effects& effects);
  // The connection sent a list or forget request: a command run, not an agent. It leaves, and a
  // user it was the first connection of is not remembered as running an agent.
  void agentWasCommand(AgentId agent, Effects& effects);
  // An answer from an agent. Only the agent's own user's question counts; the first answer wins.
  void answer(AgentId agent, const std::string& question, bool allow, bool remember, Clock::time_point now,
              Effects& effects);
  // Questions on screen longer than the timeout end as no answer.
  void tick(Clock::time_point now, Effects& effects);

  // The earliest time tick() has something to do, if any.
  std::optional<Clock::time_point> nextDeadline() const;

 private:
  struct Waiting {  // one origin of one user, with the connections that wait for it
    std::string origin;
    std::set<TicketId> tickets;
    Clock::time_point since{};  // its first page's arrival: it ends at since + timeout, shown or not
  };
  struct User {
    std::set<AgentId> agents;
    std::deque<Waiting> queue;  // front: on screen once asked
    std::string question;       // id of the question on screen, "" when none
    std::set<AgentId> asked;    // agents showing it
    Clock::time_point deadline{};
    struct Quiet {
      Clock::time_point until;
      Admission answer;  // blocked or unanswered, as the question ended
    };
    std::map<std::string, Quiet> quietUntil;
    std::deque<Clock::time_point> newQuestions;  // when each origin of the last minute began to wait
    AgentId notedBy = 0;  // the connection that made the store note this user, until it asks something
  };

  void askNext(User& user, Clock::time_point now, Effects& effects);
  // The question on screen ends: its connections get `outcome`, the other agents a withdraw.
  void settleFront(User& user, Outcome outcome, AgentId answeredBy, Clock::time_point now,
                   Effects& effects);
  void withdraw(User& user, AgentId except, Effects& effects);
  // After Block or no answer: refused for the quiet period. Per user at most kMaxQuietOrigins
  // (the one whose quiet ends first goes).
  void beQuiet(User& user, const std::string& origin, Outcome outcome, Clock::time_point now);
  // Waiting pages not on screen whose time is up end as unanswered, without a quiet period (nobody
  // was asked about them): a page waits at most the timeout from its arrival, queued or not.
  void expireQueued(User& user, Clock::time_point now, Effects& effects);
  // Every waiting connection of the user ends with `outcome`.
  void endAll(User& user, Outcome outcome, Effects& effects);

  Settings settings_;
  Store& store_;
  std::map<uid_t, User> users_;
  std::map<AgentId, uid_t> agentUser_;
  std::map<TicketId, uid_t> ticketUser_;
  TicketId nextTicket_ = 1;
  std::uint64_t nextQuestion_ = 1;
};

}  // namespace consent
