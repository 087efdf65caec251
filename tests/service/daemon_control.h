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

// Runs the binary with the given extra environment and arguments, and waits for it to exit. With a
// LogCatcher, in a private mount namespace whose /dev holds the catcher's socket as /dev/log (and
// the usual character devices): exit status 125 when that could not be made (not root).
class LogCatcher;
StartResult start(const std::string& binary, const std::vector<std::pair<std::string, std::string>>& env = {},
                  const std::vector<std::string>& arguments = {}, const LogCatcher* log = nullptr);

// The system log of a daemon started with it: a datagram socket in a directory of the test's.
class LogCatcher {
 public:
  explicit LogCatcher(const std::string& directory);
  ~LogCatcher();
  LogCatcher(const LogCatcher&) = delete;
  LogCatcher& operator=(const LogCatcher&) = delete;

  bool ready() const { return fd_ >= 0; }
  const std::string& socketPath() const { return socket_; }
  const std::string& scratchDir() const { return scratch_; }
  // Every line received so far (the message after syslog's "<pri>date ident[pid]: " prefix is kept
  // whole: the line as sent).
  const std::vector<std::string>& lines();
  // Waits up to the timeout for a line holding every one of the texts; the line, or empty.
  std::string waitFor(const std::vector<std::string>& texts, std::chrono::milliseconds timeout);
  // Lines holding the text.
  std::size_t count(const std::string& text);

 private:
  void take(int timeoutMs);
  std::string socket_;
  std::string scratch_;
  int fd_ = -1;
  std::vector<std::string> lines_;
};

// The processes whose parent is pid.
std::vector<pid_t> childrenOf(pid_t pid);

// utime + stime + cutime + cstime of /proc/<pid>/stat, in clock ticks.
long long cpuTicks(pid_t pid);

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
