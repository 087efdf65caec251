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
  const std::string path = pathOf(directory_, uid);
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool written = fd >= 0 && ::fchmod(fd, 0600) == 0 && writeAll(fd, formatDecisions(loaded_[uid])) && ::fsync(fd) == 0;
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (written) written = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) {
    warn("consent: cannot write " + path + ": " + std::strerror(errno));
    ::unlink(temporary.c_str());
  }
  return written;
}

}  // namespace consent
