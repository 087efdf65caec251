// SPDX-License-Identifier: MIT
// The decisions each user asked to be remembered: one small file per uid in the consent directory,
// a line "allow ORIGIN" or "block ORIGIN" each, oldest first; and which users have run an agent.
// A file is read whole or not at all: a bad one is ignored (one line for the operator) and never
// trusted half-read; writes replace it atomically. Each user keeps at most kMaxRemembered
// decisions (the oldest goes), so a file stays small whatever a user does.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace consent {

inline constexpr std::size_t kMaxOriginBytes = 256;  // a longer Origin is refused, never asked about
inline constexpr std::size_t kMaxRemembered = 100;   // per user; the list reply stays well under 64 KiB

class Store {
 public:
  using Warn = std::function<void(const std::string& line)>;
  // Replaces the file `path` with `text`. Unset: written at once, on the caller's thread.
  using Writer = std::function<void(const std::string& path, std::string text)>;
  // `directory` empty: decisions live in memory only. `warn` gets one line per file ignored or not
  // written (the daemon passes the system log).
  explicit Store(std::string directory, Warn warn = {}, Writer writer = {})
      : directory_(std::move(directory)), warn_(std::move(warn)), writer_(std::move(writer)) {}

  // true: allow, false: block, none: nothing remembered.
  std::optional<bool> lookup(uid_t uid, const std::string& origin);
  // false when the origin cannot be kept (see isStorableOrigin) or the file cannot be written (a
  // Writer reports that itself, later).
  bool remember(uid_t uid, const std::string& origin, bool allow);
  // Whether there was something to forget.
  bool forget(uid_t uid, const std::string& origin);
  const std::map<std::string, bool>& list(uid_t uid);

  // The users who have run an agent: the file "agents" in the consent directory, one uid a line.
  bool ranAgent(uid_t uid);
  void noteAgent(uid_t uid, bool ran);

 private:
  struct Decisions {
    std::map<std::string, bool> byOrigin;
    std::deque<std::string> age;  // oldest first
  };
  Decisions& decisions(uid_t uid);
  bool save(uid_t uid);
  std::set<uid_t>& agentUsers();
  bool replace(const std::string& path, std::string text);

  void warn(const std::string& line) const {
    if (warn_) warn_(line);
  }

  std::string directory_;
  Warn warn_;
  Writer writer_;
  std::map<uid_t, Decisions> loaded_;
  std::optional<std::set<uid_t>> agentUsers_;  // read at the first question
};

// The text of a file and back; `parse` gives nothing for a text with any bad line.
std::optional<std::map<std::string, bool>> parseDecisions(const std::string& text);
std::string formatDecisions(const std::map<std::string, bool>& decisions);
std::optional<std::set<uid_t>> parseAgentUsers(const std::string& text);
// Printable ASCII without blanks, 1 to kMaxOriginBytes bytes: what a browser sends.
bool isStorableOrigin(const std::string& origin);

}  // namespace consent
