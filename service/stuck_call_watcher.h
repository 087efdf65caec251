// SPDX-License-Identifier: MIT
// A thread that looks at the token call under way once a second and logs a call that has not
// returned after a while (the token layer logs its return). The token thread itself cannot: it is
// the one waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class StuckCallWatcher {
 public:
  explicit StuckCallWatcher(std::chrono::milliseconds after = std::chrono::seconds(10),
                            std::chrono::milliseconds every = std::chrono::seconds(1));
  ~StuckCallWatcher();
  StuckCallWatcher(const StuckCallWatcher&) = delete;
  StuckCallWatcher& operator=(const StuckCallWatcher&) = delete;

 private:
  void watch(std::chrono::milliseconds after, std::chrono::milliseconds every);

  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members it reads exist
};
