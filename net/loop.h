// SPDX-License-Identifier: MIT
// What one server's connections share: the io_context, the handler, the options, the one read
// buffer every connection reads into, the list of live connections that the one-second tick walks,
// and the read pass: the queue of busy connections read one after another without a poll between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <asio.hpp>

#include "net/event.h"
#include "net/intrusive_list.h"
#include "net/refusal_log.h"
#include "net/server_options.h"

namespace net {

class AnswerInbox;
class Connection;
struct LiveTag;       // the list of every live connection
struct ReadQueueTag;  // the connections the next read pass reads

class Loop {
 public:
  Loop(Handler handler, ServerOptions options);
  // Deletes the connections still alive, before their sockets' io_context goes.
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // The one-second tick's walk: every connection's timeouts and idle ping (Connection::onTick),
  // then the refusal summaries that are due.
  void tick(std::int64_t now);
  // Tells the operator something through options.log, if one is set. Never throws; a line that
  // cannot be handed over (memory ran out) is counted, and the tick reports the count later.
  void log(const char* line) noexcept;

  // A new connection joins the live ones; its hook takes it off when it is deleted.
  void adopt(Connection* connection);
  // How many connections live, counted on the list up to `upTo` (the most-connections check).
  std::size_t liveConnections(std::size_t upTo) const { return connections_.count(upTo); }

  // Queues a connection for the next read pass, which is posted if it is not yet.
  void queueRead(Connection* connection);
  bool readPassDue() const { return readPassPosted_; }
  // Whether a new connection should wait for its request in Asio at once (see Connection::start),
  // and the note that one found nothing at its accept.
  bool takeWaitedStart();
  void waitNextStarts();

  static constexpr std::size_t kReadBufferSize = 64 * 1024;
  // Idle connections own no read buffer: every read lands here and only leftovers are copied.
  unsigned char* readBuffer() const { return readBuffer_.get(); }

  // One thread runs the loop and only it touches the sockets, so Asio's per-socket locks are
  // left out; posting and stop() keep theirs (stop() and posted answers may come from any thread).
  asio::io_context io{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  const Handler handler;
  const ServerOptions options;
  // Where the answers to held connections come in from other threads.
  const std::shared_ptr<AnswerInbox> inbox;
  // Refused requests and timed-out connections, summarised by tick() through log.
  RefusalLog refusals;

 private:
  void postReadPass();
  void readPass();

  std::unique_ptr<unsigned char[]> readBuffer_;
  IntrusiveList<Connection, LiveTag> connections_;
  // Gathered in the order the connections finished their last read; one posted handler serves
  // the whole pass, so a busy connection costs no Asio operation per request.
  IntrusiveList<Connection, ReadQueueTag> readQueue_;
  bool readPassPosted_ = false;
  std::uint8_t waitedStarts_ = 0;  // new connections to come that wait in Asio at once
  std::uint64_t linesLost_ = 0;     // log lines that could not be handed over
};

// Whole seconds of the monotonic clock: the unit of the idle rule.
std::int64_t nowSeconds();

}  // namespace net
