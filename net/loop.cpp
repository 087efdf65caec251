// SPDX-License-Identifier: MIT
// The connection list and the idle-ping walk over it; no timer per connection.
#include "net/loop.h"

#include <time.h>

#include <utility>

#include "net/connection.h"

namespace net {

Loop::Loop(Handler handler_, ServerOptions options_)
    : handler(handler_), options(std::move(options_)), readBuffer(new unsigned char[kReadBufferSize]) {}

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

void Loop::queueRead(Connection* connection) {
  connection->nextRead_ = nullptr;
  if (readLast_) readLast_->nextRead_ = connection;
  else readFirst_ = connection;
  readLast_ = connection;
  if (!readPosted_) postReadPass();
}

// Posted behind what is already due (epoll's next poll included): by the time the pass runs,
// most peers have answered the replies just written.
void Loop::postReadPass() {
  readPosted_ = true;
  asio::post(io, [this] { readQueued(); });
}

void Loop::readQueued() {
  // A pass reads every connection queued. Another pass follows without a poll in between only
  // while every read of the last one found data, and up to a bound in reads and bytes: then no
  // connection waits in epoll while the passes go on, and sockets that do (new and quiet ones)
  // are not held up for long. Between passes the peers answer, and the readiness events of busy
  // sockets gather in epoll, to be collected once per turn rather than once per request.
  std::size_t reads = 0;
  std::size_t bytes = 0;
  bool everyReadFoundData = true;
  const auto withinBounds = [&] { return reads < kReadsBeforePoll && bytes < kBytesBeforePoll; };
  while (readFirst_ && (reads == 0 || (everyReadFoundData && withinBounds()))) {
    Connection* c = readFirst_;
    readFirst_ = readLast_ = nullptr;  // connections read now queue up for the next pass
    while (c) {
      Connection* next = c->nextRead_;  // c may be deleted by its read
      c->nextRead_ = nullptr;
      const std::size_t taken = c->readAgain();
      Connection::settle(c);
      if (taken == 0) everyReadFoundData = false;
      bytes += taken;
      ++reads;
      c = next;
    }
  }
  readPosted_ = false;
  if (readFirst_) postReadPass();
}

std::int64_t nowSeconds() {
  // The coarse monotonic clock: whole seconds need no finer one, and it is read twice per request
  // at a fraction of the cost.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

}  // namespace net
