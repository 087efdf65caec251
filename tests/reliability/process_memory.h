// SPDX-License-Identifier: MIT
// What a process holds, read from /proc: resident memory and open descriptors, and a background
// sampler that keeps the highest resident size seen.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <thread>

namespace soak {

// VmRSS of the process in kB, or -1 when it cannot be read.
long residentKb(pid_t pid);
// VmHWM (the kernel's peak resident size) in kB, or -1.
long peakResidentKb(pid_t pid);
// Number of open descriptors, or -1.
long openDescriptors(pid_t pid);

class RssSampler {
 public:
  // Samples every 50 ms until destroyed.
  explicit RssSampler(pid_t pid);
  ~RssSampler();
  RssSampler(const RssSampler&) = delete;
  RssSampler& operator=(const RssSampler&) = delete;

  long peakKb() const { return peak_; }

 private:
  pid_t pid_;
  std::atomic<long> peak_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace soak
