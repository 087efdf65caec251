// SPDX-License-Identifier: MIT
// One accepted TCP connection: reads the request head, upgrades, decodes frames, answers control
// frames and hands data messages to the handler; writes what was queued, in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "net/event.h"
#include "net/intrusive_list.h"
#include "net/loop.h"

namespace net {

class Connection : public ListHook<LiveTag>, public ListHook<ReadQueueTag> {
 public:
  Connection(Loop& loop, asio::ip::tcp::socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Raises EV_ACCEPT and waits for the request.
  void start();
  // Appends one unfragmented, unmasked frame to the output; dropped once a close is queued.
  void queueFrame(unsigned opcode, const void* data, std::size_t length);
  // Queues the empty ping if nothing was read, queued or written for more than 5 whole seconds.
  void pingIfIdle(std::int64_t now);

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
  template <class Write>
  void appendWhole(Write write);

  void waitForData();
  void queueForNextPass();
  static void readPass(Loop& loop);
  static void postReadPass(Loop& loop);
  void readFirst();
  std::size_t readQueued();
  std::optional<std::size_t> readNow();
  std::size_t resumeHeld();
  std::size_t turn(const std::error_code& firstError, std::size_t firstSize);
  bool takeRead(const std::error_code& error, unsigned char* data, std::size_t size);
  void endTurn();
  std::size_t unsent() const { return out_.size() - outSent_; }

  void consume(unsigned char* data, std::size_t size);
  std::size_t process(unsigned char* data, std::size_t size);
  std::size_t takeHttp(unsigned char* data, std::size_t size);
  bool originAllowed(std::string_view origin) const;
  void refuseUpgrade();
  std::size_t takeFrame(unsigned char* data, std::size_t size);
  void onControl(unsigned opcode, unsigned char* payload, std::size_t length);
  void deliver(unsigned char* payload, std::size_t length, unsigned char flags);
  void closeAfter(unsigned opcode, const void* payload, std::size_t length);

  void doWrite();
  void onWrite(const std::error_code& error);
  void outOfMemory() noexcept;
  void close();
  void raise(int event, void* data);

  Loop& loop_;
  asio::ip::tcp::socket socket_;
  // Where each turn's first read lands; small, since every idle connection has one pending.
  std::array<unsigned char, 512> firstRead_;
  std::string in_;        // an incomplete head or frame carried over, or input held back
  std::string message_;   // fragments of the open message, joined
  std::string out_;       // encoded frames not yet written, from outSent_ on
  std::size_t outSent_ = 0;
  std::uint64_t bodyLeft_ = 0;    // request body still to be skipped
  std::uint64_t expected_ = 0;    // size of the incomplete frame, once its header is known
  std::size_t headScanned_ = 0;   // bytes of an incomplete head already scanned
  std::int64_t lastIo_;
  // Only with a handshake timeout: closes the connection if it has not upgraded in time.
  std::unique_ptr<asio::steady_timer> handshakeTimer_;
  int pendingOps_ = 0;            // Asio operations whose handler has not run yet
  std::uint8_t waitedReads_ = 0;  // next turns to start with Asio's read, not a plain one
  ReadState readState_ = ReadState::waiting;
  unsigned char messageFlags_ = 0;
  bool websocket_ = false;
  bool fragmentOpen_ = false;
  bool held_ = false;             // in_ holds whole input not processed yet, for the output bound
  bool inRead_ = false;           // frames queued now are written once the read is processed
  bool writeWaiting_ = false;
  bool closeQueued_ = false;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
  bool peerFinished_ = false;     // the peer's end of stream was read
};

}  // namespace net
