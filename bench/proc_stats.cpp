// SPDX-License-Identifier: MIT
// Readers of /proc/<pid>/task/*/schedstat, /proc/<pid>/stat and /proc/<pid>/status.
#include "bench/proc_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace bench {
namespace {

std::int64_t statTicksNanos(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The command name may contain blanks; the fields that follow start after its closing ')'.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  unsigned long utime = 0, stime = 0;
  // Fields 3..15 after the name: state, ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt,
  // majflt, cmajflt, utime, stime.
  if (std::sscanf(line.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                  &stime) != 2)
    return -1;
  return static_cast<std::int64_t>(utime + stime) * (1000000000 / sysconf(_SC_CLK_TCK));
}

long statusField(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::size_t len = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':') return std::stol(line.substr(len + 1));
  }
  return -1;
}

std::int64_t threadsCpuNanos(pid_t pid);

// The processes pid started that still run (the daemon's starter), from each thread's list.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(taskDir.c_str());
  if (dir == nullptr) return children;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(taskDir + "/" + entry->d_name + "/children");
    pid_t child = 0;
    while (in >> child) children.push_back(child);
  }
  closedir(dir);
  return children;
}

}  // namespace

std::int64_t processCpuNanos(pid_t pid) {
  std::int64_t total = threadsCpuNanos(pid);
  if (total < 0) return total;
  // Its children and theirs: the starter and the token process it started.
  for (const pid_t child : childrenOf(pid)) total += std::max<std::int64_t>(0, processCpuNanos(child));
  return total;
}

namespace {

std::int64_t threadsCpuNanos(pid_t pid) {
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(taskDir.c_str());
  if (dir == nullptr) return -1;
  std::int64_t total = 0;
  bool any = false;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(taskDir + "/" + entry->d_name + "/schedstat");
    long long runNanos = 0;
    if (in >> runNanos) {
      total += runNanos;
      any = true;
    }
  }
  closedir(dir);
  return any ? total : statTicksNanos(pid);
}

}  // namespace

std::int64_t selfCpuNanos() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto micros = [](const timeval& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_usec; };
  return (micros(usage.ru_utime) + micros(usage.ru_stime)) * 1000;
}

long residentKib(pid_t pid) { return statusField(pid, "VmRSS"); }
long peakResidentKib(pid_t pid) { return statusField(pid, "VmHWM"); }

bool resetPeakResident(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  if (!out) return false;
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace bench
