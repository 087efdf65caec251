// SPDX-License-Identifier: MIT
// The queue of token jobs, as plain data on the loop: first come first served across connections,
// one job (or one group of presence checks) at the token at a time, and up to window - 1 more sent
// ahead so the token process can go on to the next without waiting for the daemon. No I/O here:
// the token process (token_process.h) sends what start() picks and hands back the outcomes in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "service/request_rows.h"

// Who waits for a job's outcome.
class TokenWaiter {
 public:
  virtual ~TokenWaiter() = default;
  // The reply would go nowhere (its connection closed): the job is dropped without a token call.
  virtual bool abandoned() const = 0;
  virtual void answer(const Row& row, const Outcome& outcome) = 0;
};

struct TokenJob {
  const Row* row = nullptr;
  Arguments arguments;
  std::unique_ptr<TokenWaiter> waiter;
};

class TokenQueue {
 public:
  // window: how many jobs (or groups of presence checks) may be out at the token process at once:
  // the first runs, the others wait there in order.
  explicit TokenQueue(std::size_t window = 1) : window_(window < 1 ? 1 : window) {}

  // Also drops the queued jobs whose waiters are gone, so the queue holds at most one job per live
  // waiter however many were abandoned.
  void push(TokenJob job);

  // Fewer than window out: takes the next live job and, for a presence check, every presence check
  // queued with it (their answer cannot differ, so they share its one token call). A presence
  // check is taken only when nothing is out, so every check that arrives meanwhile waits to share
  // the next one rather than be sent on its own. The job to send, or nullptr when there is none.
  const TokenJob* start();
  // The job at the token (the first one out), or nullptr.
  const TokenJob* running() const { return out_.empty() ? nullptr : &out_.front().front(); }
  // Jobs (or groups) out, the running one included.
  std::size_t out() const { return out_.size(); }
  // Answers every job taken with the running one, and ends it: the next one out runs.
  void finish(const Outcome& outcome);
  // Answers every job taken with the one start() returned last, without sending it (it could not be).
  void finishLast(const Outcome& outcome);
  // The token process ended: the jobs out behind the running one never started and go back to the
  // front of the queue, in their order. The running one stays (finish it).
  void takeBackUnstarted();
  // Answers the running job, if any, and every queued one with its row's reply without a token.
  void finishWithoutToken();
  void answerQueuedWithoutToken();

  // Jobs waiting (not running). Any thread (tests watch it).
  std::size_t queued() const { return queued_.load(std::memory_order_relaxed); }

 private:
  void counted() { queued_.store(jobs_.size(), std::memory_order_relaxed); }

  void answer(std::vector<TokenJob> group, const Outcome& outcome);

  std::size_t window_;
  std::deque<TokenJob> jobs_;
  std::deque<std::vector<TokenJob>> out_;  // each: a job, or a presence check and those sharing it
  std::atomic<std::size_t> queued_{0};
};

// The outcome of a row's command when the token is not there (or the token process ended in it).
Outcome withoutToken(const Row& row);
