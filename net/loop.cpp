// SPDX-License-Identifier: MIT
// The connection list and the idle-ping walk over it; no timer per connection.
#include "net/loop.h"

#include <time.h>

#include <utility>

#include "net/connection.h"

namespace net {

Loop::Loop(Handler handler_, ServerOptions options_)
    : handler(handler_),
      options(std::move(options_)),
      maxMessageBytes(options.maxMessageBytes.value_or(std::numeric_limits<std::uint64_t>::max())),
      readBuffer(new unsigned char[kReadBufferSize]) {}

Loop::~Loop() {
  while (Connection* connection = connections.front()) delete connection;  // each leaves the lists
}

void Loop::pingIdle(std::int64_t now) {
  for (Connection* c = connections.front(); c;) {
    Connection* next = connections.next(c);  // c may be deleted by its write failing
    c->pingIfIdle(now);
    Connection::settle(c);
    c = next;
  }
}

void Loop::log(const char* line) const noexcept {
  if (!options.log) return;
  try {
    options.log(line);
  } catch (...) {
    // A report that cannot be made must not end the loop.
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
