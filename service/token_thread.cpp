// SPDX-License-Identifier: MIT
// The queue between the loop and the token thread, and the thread's serving loop.
#include "service/token_thread.h"

#include <sched.h>
#include <unistd.h>

#include <utility>

TokenThread::TokenThread() : thread_([this] { serve(); }) {}

TokenThread::~TokenThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_one();
  thread_.join();
}

void TokenThread::submit(TokenJob job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(jobs_, [](const TokenJob& queued) { return queued.waiter->abandoned(); });
    jobs_.push_back(std::move(job));
    yieldToTokenWork();
  }
  ready_.notify_one();
}

std::size_t TokenThread::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

// With the token thread and the loop on one core, a packet for the loop would preempt every token
// call under way, and each request cost about four context switches. As SCHED_BATCH the loop does
// not preempt on its wake-up: it takes all that came in (requests and answers) in one turn once the
// call waits on the device or ends. Only while there is token work: a token-free service keeps
// its usual wake-ups. Left alone when someone set the loop's policy already. Best effort.
void TokenThread::yieldToTokenWork() {
  if (yieldingThread_ != 0 || ::sched_getscheduler(0) != SCHED_OTHER) return;
  const sched_param none{};
  if (::sched_setscheduler(0, SCHED_BATCH, &none) == 0) yieldingThread_ = ::gettid();
}

void TokenThread::endYield() {
  if (yieldingThread_ == 0) return;
  const sched_param none{};
  ::sched_setscheduler(yieldingThread_, SCHED_OTHER, &none);
  yieldingThread_ = 0;
}

std::deque<TokenJob> TokenThread::takeNext(std::unique_lock<std::mutex>& lock) {
  std::deque<TokenJob> taken;
  while (taken.empty()) {
    if (jobs_.empty()) endYield();
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return taken;
    TokenJob first = std::move(jobs_.front());
    jobs_.pop_front();
    if (!first.waiter->abandoned()) taken.push_back(std::move(first));
  }
  if (!taken.front().presenceCheck) return taken;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (it->presenceCheck) {
      if (!it->waiter->abandoned()) taken.push_back(std::move(*it));
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void TokenThread::serve() {
  for (;;) {
    std::deque<TokenJob> taken;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      taken = takeNext(lock);
      if (taken.empty()) endYield();
    }
    if (taken.empty()) return;
    const std::string text = taken.front().work();
    for (TokenJob& job : taken) job.waiter->answer(text);
  }
}
