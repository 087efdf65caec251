// SPDX-License-Identifier: MIT
#include "service/stuck_call_watcher.h"

#include "token/call_watch.h"

StuckCallWatcher::StuckCallWatcher(std::chrono::milliseconds after, std::chrono::milliseconds every)
    : thread_([this, after, every] { watch(after, every); }) {}

StuckCallWatcher::~StuckCallWatcher() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_one();
  thread_.join();
}

void StuckCallWatcher::watch(std::chrono::milliseconds after, std::chrono::milliseconds every) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_.wait_for(lock, every, [this] { return stopping_; })) token::reportStuckCall(after);
}
