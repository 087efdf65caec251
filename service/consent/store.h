// SPDX-License-Identifier: MIT
// The decisions each user asked to be remembered: one small file per uid in the consent directory,
// a line "allow ORIGIN" or "block ORIGIN" each; and which users have run an agent. A file is read whole or not at all: a bad one is
// ignored (one line for the operator) and never trusted half-read; writes replace it atomically.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace consent {

class Store {
 public:
  using Warn = std::function<void(const std::string& line)>;
  // `directory` empty: decisions live in memory only. `warn` gets one line per file ignored or not
  // written (the daemon passes the system log).
  explicit Store(std::string directory, Warn warn = {}) : directory_(std::move(directory)), warn_(std::move(warn)) {}

  // true: allow, false: block, none: nothing remembered.
  std::optional<bool> lookup(uid_t uid, const std::string& origin);
  // false when the origin cannot be kept (a blank or control character in it) or the file cannot be written.
  bool remember(uid_t uid, const std::string& origin, bool allow);
  // Whether there was something to forget.
  bool forget(uid_t uid, const std::string& origin);
  const std::map<std::string, bool>& list(uid_t uid);

  // The users who have run an agent: the file "agents" in the consent directory, one uid a line.
  bool ranAgent(uid_t uid);
  void noteAgent(uid_t uid, bool ran);

 private:
  std::map<std::string, bool>& decisions(uid_t uid);
  bool save(uid_t uid);
  std::set<uid_t>& agentUsers();
  bool replace(const std::string& path, const std::string& text);

  void warn(const std::string& line) const {
    if (warn_) warn_(line);
  }

  std::string directory_;
  Warn warn_;
  std::map<uid_t, std::map<std::string, bool>> loaded_;
  std::optional<std::set<uid_t>> agentUsers_;  // read at the first question
};

// The text of a file and back; `parse` gives nothing for a text with any bad line.
std::optional<std::map<std::string, bool>> parseDecisions(const std::string& text);
std::string formatDecisions(const std::map<std::string, bool>& decisions);
std::optional<std::set<uid_t>> parseAgentUsers(const std::string& text);
bool isStorableOrigin(const std::string& origin);

}  // namespace consent
