// SPDX-License-Identifier: MIT
// Answers to a held connection, from any thread, carried to the loop through its inbox.
#include "net/hold.h"

#include <utility>

#include "net/connection.h"
#include "net/hold_link.h"

namespace net {

void AnswerInbox::put(Connection* connection, HoldAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (io_ == nullptr) return;
  answers_.emplace_back(connection, std::move(answer));
  if (drainPosted_) return;
  try {
    asio::post(*io_, [inbox = shared_from_this()] { inbox->drain(); });
  } catch (...) {
    answers_.pop_back();
    throw;
  }
  drainPosted_ = true;
}

void AnswerInbox::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  io_ = nullptr;
  answers_.clear();
}

void AnswerInbox::drain() {
  std::vector<std::pair<Connection*, HoldAnswer>> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(answers_);
    drainPosted_ = false;
  }
  // Each connection is here once: a hold is answered once, and a new one is taken only after.
  for (auto& [connection, answer] : taken) {
    connection->takeAnswer(std::move(answer));
    Connection::settle(connection);
  }
}

void HoldLink::answer(HoldAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answered_ || !inbox_) return;
  // Queued under the lock, so the loop cannot delete the connection meanwhile.
  inbox_->put(connection_, std::move(answer));
  answered_ = true;
}

void HoldLink::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  inbox_.reset();
  abandoned_.store(true, std::memory_order_relaxed);
}

Hold::Hold(std::shared_ptr<HoldLink> link) : link_(std::move(link)) {}
Hold::Hold(Hold&&) noexcept = default;

Hold& Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    Hold old(std::move(*this));  // an outstanding hold given up here resumes its connection
    link_ = std::move(other.link_);
  }
  return *this;
}

Hold::~Hold() {
  if (!link_) return;
  try {
    link_->answer({HoldAnswer::Kind::resume, {}, 0});
  } catch (...) {
    // Not even the resume could be posted: the connection keeps waiting until the loop ends.
  }
}

void Hold::reply(std::string text) {
  if (link_) link_->answer({HoldAnswer::Kind::reply, std::move(text), 0});
}

void Hold::resume() {
  if (link_) link_->answer({HoldAnswer::Kind::resume, {}, 0});
}

void Hold::close(std::uint16_t status, std::string reason) {
  if (link_) link_->answer({HoldAnswer::Kind::close, std::move(reason), status});
}

bool Hold::abandoned() const { return !link_ || link_->abandoned(); }

// The hold lives in the connection alone: its pull finds the link there when the handler returns,
// and stops. Counted like a pending operation until its answer has been taken.
Hold hold(Connection* connection) {
  auto link = std::make_shared<HoldLink>(connection->loop_.inbox, connection);
  connection->hold_ = link;
  ++connection->pendingOps_;
  return Hold(std::move(link));
}

}  // namespace net
