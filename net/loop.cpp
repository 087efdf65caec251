// SPDX-License-Identifier: MIT
// The connection list, the idle-ping walk over it, and the read pass over the busy connections;
// no timer per connection.
#include "net/loop.h"

#include <time.h>

#include <new>
#include <utility>

#include "net/connection.h"
#include "net/connection_state.h"
#include "net/hold_link.h"

namespace net {

Loop::Loop(Handler handler_, ServerOptions options_)
    : handler(handler_),
      options(std::move(options_)),
      inbox(std::make_shared<AnswerInbox>(io)),
      readBuffer_(new unsigned char[kReadBufferSize]) {}

Loop::~Loop() {
  inbox->close();
  while (Connection* connection = connections_.front()) delete connection;  // each leaves the lists
}

void Loop::tick(std::int64_t now) {
  for (Connection* c = connections_.front(); c;) {
    Connection* next = connections_.next(c);  // c may be deleted by its write failing
    c->onTick(now);
    Connection::settle(c);
    c = next;
  }
  if (!options.log) return;
  try {
    if (linesLost_ > 0) {
      const std::string line = "log lines lost while memory was out: " + std::to_string(linesLost_);
      linesLost_ = 0;
      log(line.c_str());
    }
    refusals.flush(now, [this](const std::string& line) { log(line.c_str()); });
  } catch (const std::bad_alloc&) {
    // The counts stay for the next tick.
  }
}

void Loop::log(const char* line) noexcept {
  if (!options.log) return;
  try {
    options.log(line);
  } catch (...) {
    ++linesLost_;  // a report that cannot be made must not end the loop
  }
}

void Loop::adopt(Connection* connection) { connections_.pushFront(connection); }

bool Loop::takeWaitedStart() {
  if (waitedStarts_ == 0) return false;
  --waitedStarts_;
  return true;
}

void Loop::waitNextStarts() { waitedStarts_ = kWaitedStarts; }

void Loop::queueRead(Connection* connection) {
  readQueue_.pushBack(connection);
  if (!readPassPosted_) postReadPass();
}

// Posted behind what is already due (epoll's next poll included): by the time the pass runs,
// most peers have answered the replies just written.
void Loop::postReadPass() {
  asio::post(io, [this] { readPass(); });
  readPassPosted_ = true;  // only once posted: a failed post is tried again by the next queueing
}

void Loop::readPass() {
  // A pass reads every connection queued. Another pass follows without a poll in between only
  // while every read of the last one found data, and up to a bound in reads and bytes: then no
  // connection waits in epoll while the passes go on, and sockets that do (new and quiet ones)
  // are not held up for long. Between passes the peers answer, and the readiness events of busy
  // sockets gather in epoll, to be collected once per turn rather than once per request.
  std::size_t reads = 0;
  std::size_t bytes = 0;
  bool everyReadFoundData = true;
  const auto withinBounds = [&] { return reads < kReadsBeforePoll && bytes < kBytesBeforePoll; };
  IntrusiveList<Connection, ReadQueueTag> pass;
  while (!readQueue_.empty() && (reads == 0 || (everyReadFoundData && withinBounds()))) {
    pass.takeAll(readQueue_);  // connections read now queue up for the next pass
    while (Connection* c = pass.popFront()) {
      const std::size_t taken = c->passTurn();
      Connection::settle(c);
      if (taken == 0) everyReadFoundData = false;
      bytes += taken;
      ++reads;
    }
  }
  readPassPosted_ = false;
  if (!readQueue_.empty()) {
    try {
      postReadPass();
    } catch (const std::bad_alloc&) {
      log("read pass not posted: out of memory");
    }
  }
}

std::int64_t nowSeconds() {
  // The coarse monotonic clock: whole seconds need no finer one, and it is read twice per request
  // at a fraction of the cost.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

}  // namespace net
