// SPDX-License-Identifier: MIT
// Process plumbing for the daemon tests: /proc lookups and a fork/exec that captures stderr.
#include "tests/service/daemon_control.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/target_program.h"

namespace testdaemon {

StartResult start(const std::string& binary, const std::vector<std::pair<std::string, std::string>>& env,
                  const std::vector<std::string>& arguments) {
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
