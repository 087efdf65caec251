// SPDX-License-Identifier: MIT
#include "service/token_queue.h"

#include <utility>

void TokenQueue::push(TokenJob job) {
  std::erase_if(jobs_, [](const TokenJob& queued) { return queued.waiter->abandoned(); });
  jobs_.push_back(std::move(job));
  counted();
}

const TokenJob* TokenQueue::start() {
  if (!running_.empty()) return nullptr;
  while (running_.empty() && !jobs_.empty()) {
    TokenJob first = std::move(jobs_.front());
    jobs_.pop_front();
    if (!first.waiter->abandoned()) running_.push_back(std::move(first));
  }
  if (!running_.empty() && running_.front().row->presenceCheck) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (it->row->presenceCheck) {
        if (!it->waiter->abandoned()) running_.push_back(std::move(*it));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
  }
  counted();
  return running();
}

void TokenQueue::finish(const Outcome& outcome) {
  std::vector<TokenJob> done = std::move(running_);
  running_.clear();
  for (TokenJob& job : done) job.waiter->answer(*job.row, outcome);
}

void TokenQueue::finishWithoutToken() {
  if (!running_.empty()) finish(withoutToken(*running_.front().row));
  answerQueuedWithoutToken();
}

void TokenQueue::answerQueuedWithoutToken() {
  std::deque<TokenJob> waiting = std::move(jobs_);
  jobs_.clear();
  counted();
  for (TokenJob& job : waiting) {
    if (!job.waiter->abandoned()) job.waiter->answer(*job.row, withoutToken(*job.row));
  }
}

Outcome withoutToken(const Row& row) { return {row.absentCode, row.absentData != nullptr ? row.absentData : ""}; }
