// SPDX-License-Identifier: MIT
// The queue of token jobs, as plain data on the loop: first come first served across connections,
// one job (or one group of presence checks) at the token at a time. No I/O here: the token process
// (token_process.h) sends what start() picks and hands back the outcome.
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
  // Also drops the queued jobs whose waiters are gone, so the queue holds at most one job per live
  // waiter however many were abandoned.
  void push(TokenJob job);

  // Nothing running: takes the next live job and, for a presence check, every presence check
  // queued with it (their answer cannot differ, so they share its one token call). The job to
  // send, or nullptr when there is none.
  const TokenJob* start();
  // The job at the token, or nullptr.
  const TokenJob* running() const { return running_.empty() ? nullptr : &running_.front(); }
  // Answers every job taken with the running one, and ends it.
  void finish(const Outcome& outcome);
  // Answers the running job, if any, and every queued one with its row's reply without a token.
  void finishWithoutToken();
  void answerQueuedWithoutToken();

  // Jobs waiting (not running). Any thread (tests watch it).
  std::size_t queued() const { return queued_.load(std::memory_order_relaxed); }

 private:
  void counted() { queued_.store(jobs_.size(), std::memory_order_relaxed); }

  std::deque<TokenJob> jobs_;
  std::vector<TokenJob> running_;
  std::atomic<std::size_t> queued_{0};
};

// The outcome of a row's command when the token is not there (or the token process ended in it).
Outcome withoutToken(const Row& row);
