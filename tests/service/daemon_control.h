// SPDX-License-Identifier: MIT
// Starting the real tokenbridged as a user would, finding it by the port it listens on (never by
// name) and stopping it. Shared by the tests that need the daemon itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testdaemon {

constexpr std::uint16_t kServicePort = 9446;

struct StartResult {
  int exitStatus = -1;      // of the process that was started
  std::string errorOutput;  // what it wrote on standard error
  std::chrono::milliseconds took{0};
};

// Runs the binary with the given extra environment and arguments, and waits for it to exit.
StartResult start(const std::string& binary, const std::vector<std::pair<std::string, std::string>>& env = {},
                  const std::vector<std::string>& arguments = {});

// The process holding a listening TCP socket (IPv4 or IPv6) on the port, or 0.
pid_t pidListeningOn(std::uint16_t port);

// Whether the process exists and is not a zombie.
bool alive(pid_t pid);

// Sends the signal and waits up to the timeout for the process to go; true when it went.
bool signalAndWait(pid_t pid, int signal, std::chrono::milliseconds timeout);

// Reads a "Key:\tvalue" line of /proc/<pid>/status.
std::string statusField(pid_t pid, const std::string& key);

// Stops the daemon a test started (found by its port) when the test ends, however it ends.
struct Stopper {
  pid_t pid = 0;
  ~Stopper();
};

}  // namespace testdaemon
