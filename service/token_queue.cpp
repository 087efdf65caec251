// SPDX-License-Identifier: MIT
#include "service/token_queue.h"

#include <utility>

void TokenQueue::push(TokenJob job) {
  std::erase_if(jobs_, [](const TokenJob& queued) { return queued.waiter->abandoned(); });
  jobs_.push_back(std::move(job));
  counted();
}

const TokenJob* TokenQueue::start() {
  if (out_.size() >= window_) return nullptr;
  std::vector<TokenJob> group;
  while (group.empty() && !jobs_.empty()) {
    if (jobs_.front().row->presenceCheck && !out_.empty()) return nullptr;
    TokenJob first = std::move(jobs_.front());
    jobs_.pop_front();
    if (!first.waiter->abandoned()) group.push_back(std::move(first));
  }
  if (!group.empty() && group.front().row->presenceCheck) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (it->row->presenceCheck) {
        if (!it->waiter->abandoned()) group.push_back(std::move(*it));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
  }
  counted();
  if (group.empty()) return nullptr;
  out_.push_back(std::move(group));
  return &out_.back().front();
}

void TokenQueue::finish(const Outcome& outcome) {
  if (out_.empty()) return;
  std::vector<TokenJob> done = std::move(out_.front());
  out_.pop_front();
  answer(std::move(done), outcome);
}

void TokenQueue::finishLast(const Outcome& outcome) {
  if (out_.empty()) return;
  std::vector<TokenJob> done = std::move(out_.back());
  out_.pop_back();
  answer(std::move(done), outcome);
}

void TokenQueue::takeBackUnstarted() {
  while (out_.size() > 1) {
    std::vector<TokenJob> group = std::move(out_.back());
    out_.pop_back();
    for (auto it = group.rbegin(); it != group.rend(); ++it) jobs_.push_front(std::move(*it));
  }
  counted();
}

void TokenQueue::answer(std::vector<TokenJob> group, const Outcome& outcome) {
  for (TokenJob& job : group) job.waiter->answer(*job.row, outcome);
}

void TokenQueue::finishWithoutToken() {
  takeBackUnstarted();
  if (!out_.empty()) finish(withoutToken(*out_.front().front().row));
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
