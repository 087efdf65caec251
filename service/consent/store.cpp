// SPDX-License-Identifier: MIT
#include "service/consent/store.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "service/file_text.h"

namespace consent {

bool isStorableOrigin(const std::string& origin) {
  if (origin.empty() || origin.size() > kMaxOriginBytes) return false;
  for (const char c : origin) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

namespace {

std::string pathOf(const std::string& directory, uid_t uid) { return directory + "/" + std::to_string(uid); }

// The lines in file order, or nothing for a text with any bad line.
std::optional<std::vector<std::pair<std::string, bool>>> parseLines(const std::string& text) {
  std::vector<std::pair<std::string, bool>> lines;
  std::set<std::string> seen;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;  // a cut-off last line: never half-read
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return std::nullopt;
    const std::string word = line.substr(0, space);
    std::string origin = line.substr(space + 1);
    if ((word != "allow" && word != "block") || !isStorableOrigin(origin)) return std::nullopt;
    if (!seen.insert(origin).second) return std::nullopt;
    lines.emplace_back(std::move(origin), word == "allow");
  }
  return lines;
}

std::string formatLine(const std::string& origin, bool allow) { return (allow ? "allow " : "block ") + origin + "\n"; }

}  // namespace

std::optional<std::map<std::string, bool>> parseDecisions(const std::string& text) {
  const auto lines = parseLines(text);
  if (!lines) return std::nullopt;
  return std::map<std::string, bool>(lines->begin(), lines->end());
}

std::string formatDecisions(const std::map<std::string, bool>& decisions) {
  std::string text;
  for (const auto& [origin, allow] : decisions) text += formatLine(origin, allow);
  return text;
}

Store::Decisions& Store::decisions(uid_t uid) {
  const auto found = loaded_.find(uid);
  if (found != loaded_.end()) return found->second;
  Decisions& decisions = loaded_[uid];
  if (directory_.empty()) return decisions;
  const std::string path = pathOf(directory_, uid);
  const FileText file = readFileText(path, false);
  std::optional<std::vector<std::pair<std::string, bool>>> parsed;
  if (file.error == 0) parsed = parseLines(file.text);
  if (parsed) {
    // A file written by hand may hold more: the newest count.
    const std::size_t skip = parsed->size() > kMaxRemembered ? parsed->size() - kMaxRemembered : 0;
    for (std::size_t i = skip; i < parsed->size(); ++i) {
      decisions.byOrigin.emplace((*parsed)[i]);
      decisions.age.push_back((*parsed)[i].first);
    }
  } else if (file.opened || file.error != ENOENT) {
    warn("consent: ignoring " + path + ": not a valid decisions file");
  }
  return decisions;
}

std::optional<bool> Store::lookup(uid_t uid, const std::string& origin) {
  const std::map<std::string, bool>& known = decisions(uid).byOrigin;
  const auto found = known.find(origin);
  if (found == known.end()) return std::nullopt;
  return found->second;
}

bool Store::remember(uid_t uid, const std::string& origin, bool allow) {
  if (!isStorableOrigin(origin)) return false;
  Decisions& known = decisions(uid);
  if (known.byOrigin.erase(origin) != 0) std::erase(known.age, origin);
  if (known.age.size() >= kMaxRemembered) {
    known.byOrigin.erase(known.age.front());
    known.age.pop_front();
  }
  known.byOrigin.emplace(origin, allow);
  known.age.push_back(origin);
  return save(uid);
}

bool Store::forget(uid_t uid, const std::string& origin) {
  Decisions& known = decisions(uid);
  if (known.byOrigin.erase(origin) == 0) return false;
  std::erase(known.age, origin);
  save(uid);
  return true;
}

const std::map<std::string, bool>& Store::list(uid_t uid) { return decisions(uid).byOrigin; }

bool Store::save(uid_t uid) {
  if (directory_.empty()) return true;
  const Decisions& known = loaded_[uid];
  std::string text;
  for (const std::string& origin : known.age) text += formatLine(origin, known.byOrigin.at(origin));
  return replace(pathOf(directory_, uid), std::move(text));
}

std::optional<std::set<uid_t>> parseAgentUsers(const std::string& text) {
  std::set<uid_t> users;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos || end == start || end - start > 10) return std::nullopt;
    std::uint64_t uid = 0;
    for (std::size_t i = start; i < end; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      uid = uid * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (uid > static_cast<uid_t>(-1)) return std::nullopt;
    users.insert(static_cast<uid_t>(uid));
    start = end + 1;
  }
  return users;
}

std::set<uid_t>& Store::agentUsers() {
  if (agentUsers_) return *agentUsers_;
  agentUsers_.emplace();
  if (directory_.empty()) return *agentUsers_;
  const std::string path = directory_ + "/agents";
  const FileText file = readFileText(path, false);
  std::optional<std::set<uid_t>> parsed;
  if (file.error == 0) parsed = parseAgentUsers(file.text);
  if (parsed) {
    *agentUsers_ = std::move(*parsed);
  } else if (file.opened || file.error != ENOENT) {
    warn("consent: ignoring " + path + ": not a list of uids");
  }
  return *agentUsers_;
}

bool Store::ranAgent(uid_t uid) { return agentUsers().contains(uid); }

void Store::noteAgent(uid_t uid, bool ran) {
  std::set<uid_t>& users = agentUsers();
  if (ran == users.contains(uid)) return;
  if (ran) {
    users.insert(uid);
  } else {
    users.erase(uid);
  }
  if (directory_.empty()) return;
  std::string text;
  for (const uid_t user : users) text += std::to_string(user) + "\n";
  replace(directory_ + "/agents", std::move(text));
}

bool Store::replace(const std::string& path, std::string text) {
  if (writer_) {
    writer_(path, std::move(text));
    return true;
  }
  const int error = replaceFileText(path, text);
  if (error != 0) warn("consent: cannot write " + path + ": " + std::strerror(error));
  return error == 0;
}

}  // namespace consent
