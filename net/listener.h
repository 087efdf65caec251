// SPDX-License-Identifier: MIT
// One listening socket: accepts one connection after another and hands each to a new Connection,
// or closes it at once when the server already holds its most connections. A lasting accept error
// (no descriptors left) pauses it until the next tick.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include <asio.hpp>

namespace net {

class Loop;

class Listener {
 public:
  explicit Listener(Loop& loop);

  // address:port (numeric IPv4 or IPv6; an IPv6 socket takes IPv6 only), SO_REUSEADDR, backlog
  // 128. Returns the failing step's error.
  std::error_code open(const std::string& address, std::uint16_t port);
  std::uint16_t port() const { return port_; }

  void start();
  // Called by the one-second tick: resumes accepting if a lasting error paused it.
  void retry();
  // Memory ran out inside Asio while it took in an accepted socket, before any handler of ours:
  // the exception left the loop, and with it possibly this listener's accept. Its pending accept,
  // if any, is dropped and the tick starts a new one.
  void recoverAfterOutOfMemory();

 private:
  void doAccept();
  void onAccept(asio::ip::tcp::socket socket);

  Loop& loop_;
  asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::uint32_t generation_ = 0;  // accepts started before the last recovery are ignored
  bool paused_ = false;
};

}  // namespace net
