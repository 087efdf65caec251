// SPDX-License-Identifier: MIT
// /proc readings of the daemon under test.
#include "tests/reliability/process_memory.h"

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/service/daemon_control.h"

namespace soak {

namespace {

long kilobytes(pid_t pid, const char* field) {
  const std::string value = testdaemon::statusField(pid, field);  // "1234 kB"
  return value.empty() ? -1 : std::strtol(value.c_str(), nullptr, 10);
}

}  // namespace

long residentKb(pid_t pid) { return kilobytes(pid, "VmRSS"); }
long peakResidentKb(pid_t pid) { return kilobytes(pid, "VmHWM"); }

long openDescriptors(pid_t pid) {
  DIR* directory = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (directory == nullptr) return -1;
  long count = 0;
  while (dirent* entry = readdir(directory)) count += entry->d_name[0] != '.';
  closedir(directory);
  return count;
}

RssSampler::RssSampler(pid_t pid) : pid_(pid) {
  peak_ = residentKb(pid);
  thread_ = std::thread([this] {
    while (!stop_) {
      const long now = residentKb(pid_);
      if (now > peak_) peak_ = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
}

RssSampler::~RssSampler() {
  stop_ = true;
  thread_.join();
}

}  // namespace soak
