// SPDX-License-Identifier: MIT
#include "service/consent/board.h"

#include "service/consent/agent_line.h"

namespace consent {
namespace {

// The question on screen, with how many other sites of that user wait behind it.
template <class User>
std::string askLine(const User& user) {
  return agent_line::format(
      agent_line::Ask{user.question, user.queue.front().origin, static_cast<int>(user.queue.size() - 1)});
}

}  // namespace

Admission Board::admit(const std::string& origin, bool listed, std::optional<uid_t> uid, Clock::time_point now,
                       TicketId& ticket, Effects& effects) {
  // No Origin: not a page (allow-missing-origin rules on it); listed: the operator already said yes.
  if (origin.empty() || listed || settings_.mode == Mode::allow) return Admission::serve;
  if (settings_.mode == Mode::refuse) return Admission::refuse;
  // Browsers send short printable ASCII: anything else could look like another site on screen,
  // and is neither asked about nor kept.
  if (!isStorableOrigin(origin)) return Admission::refuse;
  // The page's user is not known (it half-closed, or is not on this machine): nobody to ask. While
  // some user runs an agent that page may be one of theirs, so it is refused; else as without consent.
  if (!uid) return agentUser_.empty() ? Admission::serve : Admission::refuse;
  if (const std::optional<bool> remembered = store_.lookup(*uid, origin)) {
    return *remembered ? Admission::serve : Admission::blocked;
  }
  const auto found = users_.find(*uid);
  const bool agentConnected = found != users_.end() && !found->second.agents.empty();
  // A user who never ran an agent is not asked; one who did waits for it to come back.
  if (!agentConnected && !store_.ranAgent(*uid)) return Admission::serve;
  User& user = found != users_.end() ? found->second : users_[*uid];
  const auto quiet = user.quietUntil.find(origin);
  if (quiet != user.quietUntil.end()) {
    if (now < quiet->second.until) return quiet->second.answer;
    user.quietUntil.erase(quiet);
  }
  Waiting* entry = nullptr;
  for (Waiting& waiting : user.queue) {
    if (waiting.origin == origin) entry = &waiting;
  }
  if (entry && entry->tickets.size() >= settings_.maxWaitingPerOrigin) return Admission::busy;
  if (!entry) {
    if (user.queue.size() >= 1 + settings_.maxWaitingOrigins) return Admission::busy;
    // A page opening ever new subdomains would put one question after another on the screen.
    while (!user.newQuestions.empty() && now - user.newQuestions.front() >= std::chrono::minutes(1)) {
      user.newQuestions.pop_front();
    }
    if (user.newQuestions.size() >= settings_.maxNewQuestionsPerMinute) return Admission::busy;
    user.newQuestions.push_back(now);
    entry = &user.queue.emplace_back(Waiting{origin, {}, now});
  }
  ticket = nextTicket_++;
  entry->tickets.insert(ticket);
  ticketUser_[ticket] = *uid;
  askNext(user, now, effects);
  return Admission::wait;
}

void Board::leave(TicketId ticket, Clock::time_point now, Effects& effects) {
  const auto owner = ticketUser_.find(ticket);
  if (owner == ticketUser_.end()) return;
  const uid_t uid = owner->second;
  ticketUser_.erase(owner);
  User& user = users_[uid];
  for (auto entry = user.queue.begin(); entry != user.queue.end(); ++entry) {
    if (entry->tickets.erase(ticket) == 0 || !entry->tickets.empty()) continue;
    if (entry == user.queue.begin() && !user.question.empty()) {
      withdraw(user, 0, effects);
      user.question.clear();
      user.asked.clear();
    }
    user.queue.erase(entry);
    askNext(user, now, effects);
    return;
  }
}

void Board::agentJoined(AgentId agent, uid_t uid, Clock::time_point now, Effects& effects) {
  agentUser_[agent] = uid;
  User& user = users_[uid];
  user.agents.insert(agent);
  if (!store_.ranAgent(uid)) {
    store_.noteAgent(uid, true);
    user.notedBy = agent;
  }
  if (!user.question.empty()) {  // a question already on screen shows on the new agent too
    user.asked.insert(agent);
    effects.lines.push_back({agent, askLine(user)});
  }
  askNext(user, now, effects);  // pages that waited with no agent connected
}

void Board::agentLeft(AgentId agent, Effects& effects) {
  const auto owner = agentUser_.find(agent);
  if (owner == agentUser_.end()) return;
  User& user = users_[owner->second];
  agentUser_.erase(owner);
  user.agents.erase(agent);
  user.asked.erase(agent);
  if (user.notedBy == agent) user.notedBy = 0;
  // Nobody left to answer: every waiting connection of this user ends as unanswered.
  if (user.agents.empty()) endAll(user, Outcome::timedOut, effects);
}

void Board::agentWasCommand(AgentId agent, Effects& effects) {
  const auto owner = agentUser_.find(agent);
  if (owner == agentUser_.end()) return;
  const uid_t uid = owner->second;
  if (users_[uid].notedBy == agent) store_.noteAgent(uid, false);
  agentLeft(agent, effects);
}

void Board::endAll(User& user, Outcome outcome, Effects& effects) {
  for (const Waiting& waiting : user.queue) {
    for (const TicketId ticket : waiting.tickets) {
      effects.finished.push_back({ticket, outcome});
      ticketUser_.erase(ticket);
    }
  }
  user.queue.clear();
  user.question.clear();
  user.asked.clear();
}

void Board::answer(AgentId agent, const std::string& question, bool allow, bool remember, Clock::time_point now,
                   Effects& effects) {
  const auto owner = agentUser_.find(agent);
  if (owner == agentUser_.end()) return;
  User& user = users_[owner->second];
  // A late answer (another agent was first, or the question was withdrawn) or one for another user's question.
  if (user.question.empty() || question != user.question || !user.asked.contains(agent)) return;
  if (remember) store_.remember(owner->second, user.queue.front().origin, allow);
  settleFront(user, allow ? Outcome::serve : Outcome::blocked, agent, now, effects);
}

void Board::tick(Clock::time_point now, Effects& effects) {
  for (auto& [uid, user] : users_) {
    if (!user.question.empty() && now >= user.deadline) settleFront(user, Outcome::timedOut, 0, now, effects);
    expireQueued(user, now, effects);
  }
}

void Board::expireQueued(User& user, Clock::time_point now, Effects& effects) {
  // The question on screen has its own deadline (the same one, from its first page's arrival).
  auto waiting = user.queue.begin();
  if (!user.question.empty() && waiting != user.queue.end()) ++waiting;
  while (waiting != user.queue.end()) {
    if (now < waiting->since + settings_.timeout) {
      ++waiting;
      continue;
    }
    for (const TicketId ticket : waiting->tickets) {
      effects.finished.push_back({ticket, Outcome::timedOut});
      ticketUser_.erase(ticket);
    }
    waiting = user.queue.erase(waiting);
  }
}

std::optional<Clock::time_point> Board::nextDeadline() const {
  std::optional<Clock::time_point> earliest;
  const auto consider = [&](Clock::time_point deadline) {
    if (!earliest || deadline < *earliest) earliest = deadline;
  };
  for (const auto& [uid, user] : users_) {
    if (!user.question.empty()) consider(user.deadline);
    for (const Waiting& waiting : user.queue) consider(waiting.since + settings_.timeout);
  }
  return earliest;
}

void Board::askNext(User& user, Clock::time_point now, Effects& effects) {
  if (!user.question.empty() || user.agents.empty()) return;
  expireQueued(user, now, effects);  // a question whose time is up is never shown
  if (user.queue.empty()) return;
  user.question = std::to_string(nextQuestion_++);
  // A page waits at most the timeout in all, queued behind other sites or not.
  user.deadline = user.queue.front().since + settings_.timeout;
  user.asked = user.agents;
  for (const AgentId agent : user.asked) {
    effects.lines.push_back({agent, askLine(user)});
  }
}

void Board::settleFront(User& user, Outcome outcome, AgentId answeredBy, Clock::time_point now,
                        Effects& effects) {
  Waiting& front = user.queue.front();
  for (const TicketId ticket : front.tickets) {
    effects.finished.push_back({ticket, outcome});
    ticketUser_.erase(ticket);
  }
  if (outcome != Outcome::serve) beQuiet(user, front.origin, outcome, now);
  withdraw(user, answeredBy, effects);
  user.queue.pop_front();
  user.question.clear();
  user.asked.clear();
  askNext(user, now, effects);
}

void Board::beQuiet(User& user, const std::string& origin, Outcome outcome, Clock::time_point now) {
  std::erase_if(user.quietUntil, [now](const auto& entry) { return entry.second.until <= now; });
  if (user.quietUntil.size() >= kMaxQuietOrigins && !user.quietUntil.contains(origin)) {
    auto oldest = user.quietUntil.begin();
    for (auto entry = oldest; entry != user.quietUntil.end(); ++entry) {
      if (entry->second.until < oldest->second.until) oldest = entry;
    }
    user.quietUntil.erase(oldest);
  }
  user.quietUntil[origin] = {now + settings_.quiet, outcome == Outcome::blocked ? Admission::blocked : Admission::unanswered};
}

void Board::withdraw(User& user, AgentId except, Effects& effects) {
  for (const AgentId agent : user.asked) {
    if (agent != except) effects.lines.push_back({agent, agent_line::format(agent_line::Withdraw{user.question})});
  }
}

}  // namespace consent
