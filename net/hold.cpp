// SPDX-License-Identifier: MIT
// Answers to a held connection, from any thread, carried to the loop by a post.
#include "net/hold.h"

#include <utility>

#include "net/connection.h"
#include "net/hold_link.h"

namespace net {

void HoldLink::answer(HoldAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answered_ || io_ == nullptr) return;
  Connection* connection = connection_;
  // Posted under the lock, so the loop cannot delete the connection (and its io_context) meanwhile.
  asio::post(*io_, [connection, answer = std::move(answer)]() mutable {
    connection->takeAnswer(std::move(answer));
    Connection::settle(connection);
  });
  answered_ = true;
}

void HoldLink::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  io_ = nullptr;
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

Hold hold(Connection* connection) { return Hold(connection->startHold()); }

}  // namespace net
