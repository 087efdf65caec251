// SPDX-License-Identifier: MIT
// Process plumbing for the daemon tests: /proc lookups and a fork/exec that captures stderr.
#include "tests/service/daemon_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/target_program.h"

namespace testdaemon {

namespace {

// In the child before exec: a /dev of its own (tmpfs) with the host's usual character devices bound
// in and the catcher's socket as log, moved over /dev in a private mount namespace.
bool devWithLog(const LogCatcher& log) {
  const std::string dev = log.scratchDir();
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=755") != 0) return false;
  for (const char* name : {"null", "zero", "full", "random", "urandom", "tty", "log"}) {
    const std::string target = dev + "/" + name;
    const std::string source = std::strcmp(name, "log") == 0 ? log.socketPath() : "/dev/" + std::string(name);
    if (access(source.c_str(), F_OK) != 0) continue;
    const int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  }
  return mount(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0;
}

}  // namespace

LogCatcher::LogCatcher(const std::string& directory) : socket_(directory + "/log"), scratch_(directory + "/dev") {
  mkdir(scratch_.c_str(), 0755);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd_ < 0 || socket_.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || chmod(socket_.c_str(), 0666) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

LogCatcher::~LogCatcher() {
  if (fd_ >= 0) close(fd_);
  unlink(socket_.c_str());
  rmdir(scratch_.c_str());
}

void LogCatcher::take(int timeoutMs) {
  if (fd_ < 0) return;
  pollfd wait{fd_, POLLIN, 0};
  while (poll(&wait, 1, timeoutMs) > 0) {
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    lines_.emplace_back(buffer, static_cast<std::size_t>(n));
    timeoutMs = 0;
  }
}

const std::vector<std::string>& LogCatcher::lines() {
  take(0);
  return lines_;
}

std::string LogCatcher::waitFor(const std::vector<std::string>& texts, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t looked = 0;
  for (;;) {
    for (; looked < lines_.size(); ++looked) {
      bool all = true;
      for (const std::string& text : texts) all = all && lines_[looked].find(text) != std::string::npos;
      if (all) return lines_[looked];
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    take(static_cast<int>(std::min<long long>(left.count(), 100)));
  }
}

std::size_t LogCatcher::count(const std::string& text) {
  std::size_t n = 0;
  for (const std::string& line : lines()) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid > 0 && statusField(pid, "PPid") == std::to_string(parent)) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

long long cpuTicks(pid_t pid) {
  // "pid (comm) state ppid ..." with utime, stime, cutime, cstime as fields 14 to 17; comm may hold blanks.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string value;
  long long ticks = 0;
  for (int field = 3; field <= 17 && rest >> value; ++field) {
    if (field >= 14) ticks += std::atoll(value.c_str());
  }
  return ticks;
}

StartResult start(const std::string& binary, const std::vector<std::pair<std::string, std::string>>& env,
                  const std::vector<std::string>& arguments, const LogCatcher* log) {
  StartResult result;
  int errPipe[2];
  if (pipe(errPipe) != 0) return result;
  const testsupport::TargetCommand command(binary, arguments);
  const auto began = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(errPipe[1], 2);
    close(errPipe[0]);
    close(errPipe[1]);
    if (log != nullptr && !devWithLog(*log)) _exit(125);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    command.exec();
    _exit(127);
  }
  close(errPipe[1]);
  // The daemon keeps no copy of the pipe (it closes every inherited descriptor), so EOF comes when
  // the started process and its intermediate child are gone.
  char buffer[512];
  ssize_t n;
  while ((n = read(errPipe[0], buffer, sizeof buffer)) > 0) result.errorOutput.append(buffer, n);
  close(errPipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

namespace {

// Socket inodes of listening TCP sockets on the port, from /proc/net/tcp and tcp6.
std::vector<std::string> listeningInodes(std::uint16_t port) {
  std::vector<std::string> inodes;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) inodes.push_back(inode);
    }
  }
  return inodes;
}

}  // namespace

pid_t pidListeningOn(std::uint16_t port) {
  const std::vector<std::string> inodes = listeningInodes(port);
  if (inodes.empty()) return 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    while (dirent* fd = readdir(fds)) {
      char target[128];
      const std::string link = fdDir + "/" + fd->d_name;
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      for (const std::string& inode : inodes) {
        if (std::string(target) == "socket:[" + inode + "]") found = pid;
      }
    }
    closedir(fds);
    if (found != 0) break;
  }
  closedir(proc);
  return found;
}

std::string statusField(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      const std::size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

bool alive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  const std::string state = statusField(pid, "State");
  return !state.empty() && state[0] != 'Z';
}

bool signalAndWait(pid_t pid, int signal, std::chrono::milliseconds timeout) {
  kill(pid, signal);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!alive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !alive(pid);
}

Stopper::~Stopper() {
  if (pid > 0 && alive(pid)) signalAndWait(pid, SIGTERM, std::chrono::seconds(5));
}

}  // namespace testdaemon
