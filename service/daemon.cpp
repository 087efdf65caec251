// SPDX-License-Identifier: MIT
// Daemon start-up. A pipe from the daemon back to the process the user started lets that process
// exit 0 only once the service listens, and report a failure (port in use, fork failed) instead of
// pretending success.
#include "service/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/file_text.h"
#include "service/log.h"

namespace {

constexpr char kReady = 'R';
constexpr char kFailed = 'F';

// The write end of the start-up pipe in the forked processes, -1 in the process the user started.
int g_startupPipe = -1;

// The process the user started: waits for the daemon's verdict and exits with it.
[[noreturn]] void waitForDaemon(int readEnd) {
  std::string message;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(readEnd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    message.append(buffer, static_cast<std::size_t>(n));
  }
  if (!message.empty() && message[0] == kReady) std::exit(0);
  if (!message.empty() && message[0] == kFailed) {
    std::fprintf(stderr, "tokenbridged: %s\n", message.c_str() + 1);
  } else {
    std::fprintf(stderr, "tokenbridged: the service ended during start-up\n");
    logError("the service ended during start-up");
  }
  std::exit(1);
}

void reopenStandardDescriptors() {
  // 0, 1 and 2 are the lowest free numbers after the close loop, so they land there; diagnostic
  // lines written to standard output then go nowhere instead of into a socket.
  for (int i = 0; i < 3; ++i) {
    if (open("/dev/null", O_RDWR) < 0) return;
  }
}

}  // namespace

int init_daemon() {
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  signal(SIGHUP, SIG_IGN);

  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t first = fork();
  if (first < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (first > 0) {
    close(fds[1]);
    waitForDaemon(fds[0]);
  }
  close(fds[0]);
  g_startupPipe = fds[1];

  setsid();
  const pid_t second = fork();
  if (second < 0) return -1;
  if (second > 0) std::exit(0);

  // Keep the start-up pipe open across the close loop; it is closed once start-up is over.
  for (int fd = 0; fd <= 255; ++fd) {
    if (fd != g_startupPipe) close(fd);
  }
  fcntl(g_startupPipe, F_SETFD, FD_CLOEXEC);
  if (chdir("/") != 0) {
    // Not examined: the service needs nothing from its working directory.
  }
  // Owner only: a file the daemon or a token library makes (with a mode of 0666, say) is no other
  // user's to change. Every file that must be wider says so itself (the agent socket).
  umask(077);
  signal(SIGCHLD, SIG_IGN);
  reopenStandardDescriptors();
  return 0;
}

void startupDone() {
  if (g_startupPipe < 0) return;
  // Errors are dropped: the starter then sees the pipe close early and reports that.
  writeAll(g_startupPipe, std::string_view(&kReady, 1));
  close(g_startupPipe);
  g_startupPipe = -1;
}

void startupFailed(const std::string& why) {
  logError(why);
  if (g_startupPipe < 0) {
    std::fprintf(stderr, "tokenbridged: %s\n", why.c_str());
  } else {
    const std::string message = std::string(1, kFailed) + why;
    writeAll(g_startupPipe, message);
    close(g_startupPipe);
  }
  std::exit(1);
}
