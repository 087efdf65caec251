// SPDX-License-Identifier: MIT
// What one server's connections share: the io_context, the handler, the options, the one read
// buffer every connection reads into, the list of live connections that the one-second tick walks,
// and the queue of busy connections for the next read pass (the pass itself is in connection.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include <asio.hpp>

#include "net/event.h"
#include "net/intrusive_list.h"
#include "net/server_options.h"

namespace net {

class Connection;
struct LiveTag;       // the list of every live connection
struct ReadQueueTag;  // the connections the next read pass reads

struct Loop {
  Loop(Handler handler, ServerOptions options);
  // Deletes the connections still alive, before their sockets' io_context goes.
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Sends the idle ping to every upgraded connection quiet for more than 5 whole seconds.
  void pingIdle(std::int64_t now);
  // Tells the operator something through options.log, if one is set. Never throws.
  void log(const char* line) const noexcept;

  static constexpr std::size_t kReadBufferSize = 64 * 1024;

  // One thread runs the loop and only it touches the sockets, so Asio's per-socket locks are
  // left out; posting and stop() keep theirs (stop() may come from another thread).
  asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  Handler handler;
  const ServerOptions options;
  // options.maxMessageBytes, or the largest value when there is none: one compare per frame.
  const std::uint64_t maxMessageBytes;
  // Idle connections own no read buffer: every read lands here and only leftovers are copied.
  std::unique_ptr<unsigned char[]> readBuffer;
  IntrusiveList<Connection, LiveTag> connections;
  std::size_t liveConnections = 0;  // how many are on `connections`, for the most-connections check
  // Gathered in the order the connections finished their last read; one posted handler serves
  // the whole pass, so a busy connection costs no Asio operation per request.
  IntrusiveList<Connection, ReadQueueTag> readQueue;
  bool readPassPosted = false;
  // New connections to come that wait for their request in Asio at once (see readFirst).
  std::uint8_t waitedStarts = 0;
};

// Whole seconds of the monotonic clock: the unit of the idle rule.
std::int64_t nowSeconds();

}  // namespace net
