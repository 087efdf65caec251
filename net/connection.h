// SPDX-License-Identifier: MIT
// One accepted TCP connection, the socket side only: it reads, hands the bytes to its Session,
// and writes what the session and the handler queued, in order. Every Asio operation goes
// through one wrapper and one deletion rule.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "net/event.h"
#include "net/intrusive_list.h"
#include "net/loop.h"
#include "net/session.h"

namespace net {

class HoldLink;
struct HoldAnswer;

class Connection final : public ListHook<LiveTag>, public ListHook<ReadQueueTag>, private Session::Events {
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
  // The one-second tick: closes the connection past its message or pong timeout; else queues and
  // writes the empty ping if nothing was read, queued or written for more than 5 whole seconds.
  void onTick(std::int64_t now);
  // The loop's read pass: this connection's turn. Returns the bytes taken in.
  std::size_t passTurn();
  // The handler holds the connection's input until the returned link is answered.
  std::shared_ptr<HoldLink> startHold();
  // The answer to the hold, posted to the loop.
  void takeAnswer(HoldAnswer answer);

  // Every entry point from the loop ends here: a closed connection is deleted once no operation
  // of it is pending, so it stays valid through any handler call.
  static void settle(Connection* connection);

 private:
  // Where a connection's reading stands; the table in connection.cpp says who moves it on.
  enum class ReadState : std::uint8_t { waiting, queued, reading, paused, stopped };

  template <class Initiate, class Body>
  void operation(Initiate initiate, Body body);
  template <class Body>
  void guarded(Body body);

  void onEvent(int event, void* data) override;
  void onRefused(Refusal kind, std::string_view origin) override;

  void readFirst();
  void waitForData();
  void queueForNextPass();
  std::optional<std::size_t> readNow();
  std::size_t turn(const std::error_code& firstError, std::size_t firstSize);
  bool takeRead(const std::error_code& error, unsigned char* data, std::size_t size);
  void endTurn();
  std::size_t takeHeld();
  void continueInput();
  void consume(unsigned char* data, std::size_t size);
  void closeWhenPeerDone();
  std::size_t unsent() const { return out_.size() - outSent_; }
  std::size_t room() const;

  void doWrite();
  void onWrite(const std::error_code& error);
  void closeAfterFlush();
  void close();
  void outOfMemory() noexcept;

  Loop& loop_;
  asio::ip::tcp::socket socket_;
  Session session_;
  // Where each turn's first read lands; small, since every idle connection has one pending.
  std::array<unsigned char, 512> firstRead_;
  std::string in_;        // an incomplete head or frame carried over, or input held back
  std::string out_;       // encoded frames not yet written, from outSent_ on
  std::size_t outSent_ = 0;
  std::size_t turnMessages_ = 0;  // data messages taken in this turn, for the per-turn budget
  std::int64_t lastIo_;
  // Only with a handshake timeout: closes the connection if it has not upgraded in time.
  std::unique_ptr<asio::steady_timer> handshakeTimer_;
  std::shared_ptr<HoldLink> hold_;  // the hold outstanding, if any
  int pendingOps_ = 0;            // Asio operations and holds whose handler has not run yet
  std::uint8_t waitedReads_ = 0;  // next turns to start with Asio's read, not a plain one
  ReadState readState_ = ReadState::waiting;
  bool held_ = false;             // in_ starts with whole input the session has not taken yet
  bool heldTurnPosted_ = false;
  bool writeWaiting_ = false;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
  bool peerFinished_ = false;     // the peer's end of stream was read
  bool inputDrained_ = false;     // the last read emptied the socket (it was shorter than its buffer)
};

}  // namespace net
