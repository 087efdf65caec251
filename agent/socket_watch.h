// SPDX-License-Identifier: MIT
// Waiting for the service's socket to come back: short tries at first, longer ones after repeated
// failure, and a change in the socket's directory (or in its parent, where the directory itself
// comes back after a restart of the service) ends the wait at once.
#pragma once

#include <string>

class SocketWatch {
 public:
  explicit SocketWatch(const std::string& socketPath);
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // Waits before the next try after `failures` tries in a row failed. True when woken by a change
  // in the directories (the caller then counts failures from 0 again).
  bool wait(int failures);

 private:
  int fd_ = -1;  // inotify; -1 without it (timed tries only)
  std::string directory_;
  std::string parent_;
};
