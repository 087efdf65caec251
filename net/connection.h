// SPDX-License-Identifier: MIT
// One accepted TCP connection, the socket side only: it reads, feeds the bytes to its Session,
// pulls the events one at a time and hands each to the handler, and writes what the session and
// the handler queued, in order. It stops pulling while the handler holds it. Every Asio operation
// goes through one wrapper and one deletion rule; its state moves by connection_state.h alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <asio.hpp>

#include "net/connection_state.h"
#include "net/event.h"
#include "net/intrusive_list.h"
#include "net/loop.h"
#include "net/session.h"

namespace net {

class Hold;
class HoldLink;
struct HoldAnswer;

class Connection final : public ListHook<LiveTag>, public ListHook<ReadQueueTag> {
 public:
  Connection(Loop& loop, asio::ip::tcp::socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Raises EV_ACCEPT and waits for the request.
  void start();
  // Appends one unfragmented, unmasked frame to the output; dropped once a close is queued. It
  // is written at the end of the entry point that queued it.
  void queueFrame(unsigned opcode, const void* data, std::size_t length);
  // Queues the close frame with this status and reason; the connection closes once it is out.
  void queueClose(std::uint16_t status, std::string_view reason);
  // The one-second tick: closes the connection past its message or pong timeout; else queues and
  // writes the empty ping if nothing was read, queued or written for more than 5 whole seconds.
  void onTick(std::int64_t now);
  // The loop's read pass: this connection's turn. Returns the bytes taken in.
  std::size_t passTurn();
  // The answer to the hold, posted to the loop.
  void takeAnswer(HoldAnswer answer);

  // The state, with draining and closed read from the session's phase.
  State state() const;

  // Every entry point from the loop ends here: a closed connection is deleted once no operation
  // of it is pending, so it stays valid through any handler call.
  static void settle(Connection* connection);

 private:
  friend Hold hold(Connection* connection);
  enum class From : std::uint8_t { asio, pass, accept };

  template <class Initiate, class Body>
  void operation(Initiate initiate, Body body);
  template <class Body>
  void guarded(Body body);

  void raise(int event, void* data);
  void apply(Happening what, Stop lastPull = Stop::input);
  Facts facts(Stop lastPull) const;

  void waitForData();
  std::size_t turn(From from, std::error_code error = {}, std::size_t size = 0);
  bool takeRead(const std::error_code& error, unsigned char* data, std::size_t size, Stop& stop);
  Stop take(unsigned char* data, std::size_t size, bool budgeted);
  Stop pull(bool budgeted);
  void keepRest(unsigned char* data, std::size_t size, bool fromInput);
  void continueInput();
  std::size_t readLimit(std::size_t buffer) const;
  std::size_t unsent() const { return out_.size() - outSent_; }

  void doWrite();
  void onWrite(const std::error_code& error);
  void close();
  void outOfMemory() noexcept;

  Loop& loop_;
  asio::ip::tcp::socket socket_;
  Session session_;
  // Where each turn's first read lands; small, since every idle connection has one pending.
  std::array<unsigned char, 512> firstRead_;
  std::string in_;        // input not taken yet: an incomplete head or frame, or what waits behind a stop
  std::string out_;       // encoded frames not yet written, from outSent_ on
  std::size_t outSent_ = 0;
  std::size_t turnMessages_ = 0;  // data messages taken in this turn, for the per-turn budget
  std::int64_t lastIo_;
  // Only with a handshake timeout: closes the connection if it has not upgraded in time.
  std::unique_ptr<asio::steady_timer> handshakeTimer_;
  std::shared_ptr<HoldLink> hold_;  // the hold outstanding, if any: no event is pulled meanwhile
  int pendingOps_ = 0;              // Asio operations and holds whose handler has not run yet
  std::uint8_t waitedReads_ = 0;    // next turns to start with Asio's read, not a plain one
  State read_ = State::reading;     // where its reading stands (reading: being set up); draining and closed are the session's
  bool writeWaiting_ = false;       // Asio's wait for writability is pending
  bool inputDrained_ = false;       // the last read emptied the socket (it was shorter than its buffer)
};

}  // namespace net
