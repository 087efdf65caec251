// SPDX-License-Identifier: MIT
// The token thread: the one thread that calls into the token library, one job at a time, first come
// first served across connections. The loop hands it the requests that need the token and reads on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

// Who waits for a job's reply text; answered on the token thread.
class TokenWaiter {
 public:
  virtual ~TokenWaiter() = default;
  // The reply would go nowhere (its connection closed): the job is dropped without a token call.
  virtual bool abandoned() const = 0;
  virtual void answer(std::string text) = 0;
};

struct TokenJob {
  // A presence check's answer cannot differ from one waiting check to the next: when the thread
  // takes one, the checks queued at that moment share its answer and its one token call.
  bool presenceCheck = false;
  std::function<std::string()> work;  // makes the token calls and builds the reply; must not throw
  std::unique_ptr<TokenWaiter> waiter;
};

class TokenThread {
 public:
  TokenThread();
  // Finishes the job under way; the jobs still queued are dropped with their waiters.
  ~TokenThread();
  TokenThread(const TokenThread&) = delete;
  TokenThread& operator=(const TokenThread&) = delete;

  // Loop thread. Also drops the queued jobs whose waiters are gone, so the queue holds at most one
  // job per live waiter however many were abandoned. While the token thread has work, the
  // submitting thread runs as SCHED_BATCH (see yieldToTokenWork).
  void submit(TokenJob job);
  std::size_t queued() const;

 private:
  void serve();
  // Takes the next live job and, for a presence check, every presence check queued with it.
  std::deque<TokenJob> takeNext(std::unique_lock<std::mutex>& lock);

  // Under mutex_: the submitting thread yields to token work from the first job until the queue
  // runs dry, when its policy is given back.
  void yieldToTokenWork();
  void endYield();

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<TokenJob> jobs_;
  bool stopping_ = false;
  pid_t yieldingThread_ = 0;  // the submitter while it runs as SCHED_BATCH, else 0
  std::thread thread_;  // last: starts once the members it reads exist
};
