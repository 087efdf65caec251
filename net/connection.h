// SPDX-License-Identifier: MIT
// One accepted TCP connection: reads the request head, upgrades, decodes frames, answers control
// frames and hands data messages to the handler; writes what was queued, in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <asio.hpp>

#include "net/event.h"

namespace net {

struct Loop;

class Connection {
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

  // The loop's pass over the connections queued to read again: reads at once, or waits for
  // epoll when nothing has arrived yet. Returns the bytes read.
  std::size_t readAgain();

  // Links of the loop's list of connections, and of its queue of connections to read again.
  Connection* prev_ = nullptr;
  Connection* next_ = nullptr;
  Connection* nextRead_ = nullptr;

 private:
  void doRead();
  std::size_t onRead(const std::error_code& firstError, std::size_t firstSize);
  bool takeRead(const std::error_code& error, unsigned char* data, std::size_t size);
  void doWrite();
  void onWrite(const std::error_code& error);

  void consume(unsigned char* data, std::size_t size);
  std::size_t process(unsigned char* data, std::size_t size);
  std::size_t takeHttp(unsigned char* data, std::size_t size);
  std::size_t takeFrame(unsigned char* data, std::size_t size);
  void onControl(unsigned opcode, unsigned char* payload, std::size_t length);
  void deliver(unsigned char* payload, std::size_t length, unsigned char flags);
  void closeAfter(unsigned opcode, const void* payload, std::size_t length);
  void close();
  void raise(int event, void* data);

  Loop& loop_;
  asio::ip::tcp::socket socket_;
  // Where each turn's first read lands; small, since every idle connection has one pending.
  std::array<unsigned char, 512> firstRead_;
  std::string in_;        // an incomplete head or frame carried over to the next read
  std::string message_;   // fragments of the open message, joined
  std::string out_;       // encoded frames not yet written, from outSent_ on
  std::size_t outSent_ = 0;
  std::uint64_t bodyLeft_ = 0;    // request body still to be skipped
  std::uint64_t expected_ = 0;    // size of the incomplete frame, once its header is known
  std::size_t headScanned_ = 0;   // bytes of an incomplete head already scanned
  std::int64_t lastIo_;
  int pendingOps_ = 0;
  std::uint8_t waitedReads_ = 0;  // next turns to start with Asio's read, not a plain one
  unsigned char messageFlags_ = 0;
  bool websocket_ = false;
  bool fragmentOpen_ = false;
  bool reading_ = true;           // false once a close is queued, the peer has gone, or on error
  bool inRead_ = false;           // frames queued now are written once the read is processed
  bool writeWaiting_ = false;
  bool readPaused_ = false;       // not reading until the output has gone out
  bool closeQueued_ = false;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
};

}  // namespace net
