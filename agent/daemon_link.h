// SPDX-License-Identifier: MIT
// The agent's end of the daemon's agent socket: one JSON object per line each way.
#pragma once

#include <optional>
#include <string>

#include "service/consent/agent_line.h"

class DaemonLink {
 public:
  DaemonLink() = default;
  ~DaemonLink();
  DaemonLink(const DaemonLink&) = delete;
  DaemonLink& operator=(const DaemonLink&) = delete;

  // Connects (closing any earlier connection); the error text when it cannot.
  std::string connect(const std::string& path);
  int fd() const { return fd_; }
  bool connected() const { return fd_ >= 0; }
  bool send(const consent::agent_line::Request& request);
  // Reads what is there (or blocks for it): the next whole object, none when the line is not
  // complete yet. Sets `gone` when the daemon closed the connection or broke the protocol.
  std::optional<consent::agent_line::Message> receive(bool& gone);
  // A whole line is buffered already: receive() returns it without reading.
  bool pending() const { return buffered_.find('\n') != std::string::npos; }
  void close();

 private:
  int fd_ = -1;
  std::string buffered_;
};
