// SPDX-License-Identifier: MIT
// What one server's connections share: the io_context, the handler, the one read buffer every
// connection reads into, the intrusive list of live connections that the one-second tick walks,
// and the queue of busy connections to read again on the next pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <asio.hpp>

#include "net/event.h"
#include "net/server_options.h"

namespace net {

class Connection;

struct Loop {
  Loop(Handler handler, ServerOptions options);
  // Deletes the connections still alive, before their sockets' io_context goes.
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  void link(Connection* connection);
  void unlink(Connection* connection);
  // Sends the idle ping to every upgraded connection quiet for more than 5 whole seconds.
  void pingIdle(std::int64_t now);
  // Puts a connection at the end of the ones to read again on the next pass. One posted handler
  // serves the whole pass, so a busy connection costs no Asio operation per request.
  void queueRead(Connection* connection);

  static constexpr std::size_t kReadBufferSize = 64 * 1024;
  // How far one turn of the loop may go on reading queued connections before epoll is polled
  // again: reads, and bytes read.
  static constexpr std::size_t kReadsBeforePoll = 128;
  static constexpr std::size_t kBytesBeforePoll = 16 * 1024;

  // One thread runs the loop and only it touches the sockets, so Asio's per-socket locks are
  // left out; posting and stop() keep theirs (stop() may come from another thread).
  asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  Handler handler;
  const ServerOptions options;
  // Idle connections own no read buffer: every read lands here and only leftovers are copied.
  std::unique_ptr<unsigned char[]> readBuffer;
  Connection* first = nullptr;

 private:
  void postReadPass();
  void readQueued();

  // The pass being gathered, in the order the connections finished their last read.
  Connection* readFirst_ = nullptr;
  Connection* readLast_ = nullptr;
  bool readPosted_ = false;
};

// Whole seconds of the monotonic clock: the unit of the idle rule.
std::int64_t nowSeconds();

}  // namespace net
