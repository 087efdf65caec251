// SPDX-License-Identifier: MIT
// The connection list and the idle-ping walk over it; no timer per connection.
#include "net/loop.h"

#include <chrono>

#include "net/connection.h"

namespace net {

Loop::Loop(Handler handler_) : handler(handler_), readBuffer(new unsigned char[kReadBufferSize]) {}

Loop::~Loop() {
  while (first) delete first;  // each destructor unlinks itself
}

void Loop::link(Connection* connection) {
  connection->prev_ = nullptr;
  connection->next_ = first;
  if (first) first->prev_ = connection;
  first = connection;
}

void Loop::unlink(Connection* connection) {
  if (connection->prev_) connection->prev_->next_ = connection->next_;
  else first = connection->next_;
  if (connection->next_) connection->next_->prev_ = connection->prev_;
  connection->prev_ = connection->next_ = nullptr;
}

void Loop::pingIdle(std::int64_t now) {
  for (Connection* c = first; c;) {
    Connection* next = c->next_;  // c may be deleted by its write failing
    c->pingIfIdle(now);
    Connection::settle(c);
    c = next;
  }
}

std::int64_t nowSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace net
