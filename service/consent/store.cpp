// SPDX-License-Identifier: MIT
#include "service/consent/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/file_text.h"

namespace consent {
namespace {

std::string pathOf(const std::string& directory, uid_t uid) { return directory + "/" + std::to_string(uid); }

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool isStorableOrigin(const std::string& origin) {
  if (origin.empty()) return false;
  for (const char c : origin) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  }
  return true;
}

std::optional<std::map<std::string, bool>> parseDecisions(const std::string& text) {
  std::map<std::string, bool> decisions;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;  // a cut-off last line: never half-read
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return std::nullopt;
    const std::string word = line.substr(0, space);
    const std::string origin = line.substr(space + 1);
    if ((word != "allow" && word != "block") || !isStorableOrigin(origin)) return std::nullopt;
    if (!decisions.emplace(origin, word == "allow").second) return std::nullopt;
  }
  return decisions;
}

std::string formatDecisions(const std::map<std::string, bool>& decisions) {
  std::string text;
  for (const auto& [origin, allow] : decisions) text += (allow ? "allow " : "block ") + origin + "\n";
  return text;
}

std::map<std::string, bool>& Store::decisions(uid_t uid) {
  const auto found = loaded_.find(uid);
  if (found != loaded_.end()) return found->second;
  std::map<std::string, bool>& decisions = loaded_[uid];
  if (directory_.empty()) return decisions;
  const std::string path = pathOf(directory_, uid);
  const FileText file = readFileText(path, false);
  std::optional<std::map<std::string, bool>> parsed;
  if (file.error == 0) parsed = parseDecisions(file.text);
  if (parsed) {
    decisions = std::move(*parsed);
  } else if (file.opened || file.error != ENOENT) {
    warn("consent: ignoring " + path + ": not a valid decisions file");
  }
  return decisions;
}

std::optional<bool> Store::lookup(uid_t uid, const std::string& origin) {
  const std::map<std::string, bool>& known = decisions(uid);
  const auto found = known.find(origin);
  if (found == known.end()) return std::nullopt;
  return found->second;
}

bool Store::remember(uid_t uid, const std::string& origin, bool allow) {
  if (!isStorableOrigin(origin)) return false;
  decisions(uid)[origin] = allow;
  return save(uid);
}

bool Store::forget(uid_t uid, const std::string& origin) {
  if (decisions(uid).erase(origin) == 0) return false;
  save(uid);
  return true;
}

const std::map<std::string, bool>& Store::list(uid_t uid) { return decisions(uid); }

bool Store::save(uid_t uid) {
  if (directory_.empty()) return true;
  return replace(pathOf(directory_, uid), formatDecisions(loaded_[uid]));
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
  replace(directory_ + "/agents", text);
}

bool Store::replace(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool written = fd >= 0 && ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (written) written = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) {
    warn("consent: cannot write " + path + ": " + std::strerror(errno));
    ::unlink(temporary.c_str());
  }
  return written;
}

}  // namespace consent
