// SPDX-License-Identifier: MIT
#include "agent/socket_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>

namespace {

// The first 20 tries (a second) every 50 ms, then twice as long each time up to 2 s.
constexpr int kFastTries = 20;
constexpr int kFastMs = 50;
constexpr int kLongestMs = 2000;

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SocketWatch::SocketWatch(const std::string& socketPath)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), directory_(directoryOf(socketPath)), parent_(directoryOf(directory_)) {}

SocketWatch::~SocketWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool SocketWatch::wait(int failures) {
  int delayMs = kFastMs;
  for (int i = kFastTries; i < failures && delayMs < kLongestMs; ++i) delayMs *= 2;
  delayMs = std::min(delayMs, kLongestMs);
  if (fd_ < 0) {
    ::usleep(static_cast<useconds_t>(delayMs) * 1000);
    return false;
  }
  // Added again each time: a directory removed and made anew is a new one to watch (adding a
  // watch that exists changes nothing). One that does not exist yet is seen through its parent.
  constexpr std::uint32_t kChanges = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
  ::inotify_add_watch(fd_, directory_.c_str(), kChanges);
  ::inotify_add_watch(fd_, parent_.c_str(), kChanges);
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, delayMs) <= 0) return false;
  char events[4096];
  while (::read(fd_, events, sizeof events) > 0) {
  }
  return true;
}
