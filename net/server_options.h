// SPDX-License-Identifier: MIT
// What an operator may restrict about who reaches the service and how much one client may ask of
// it. Every member's default leaves the service as open as it is without a configuration file:
// every IPv4 interface and [::1] on the port given to Server::listen, any Origin, no size, count or
// time limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace net {

// A numeric address to listen on, IPv4 ("127.0.0.1") or IPv6 ("::1"), and its port.
struct ListenAddress {
  std::string address;
  std::uint16_t port = 0;
};

struct ServerOptions {
  // Where to listen; empty: 0.0.0.0 and [::1] on the port passed to Server::listen.
  std::vector<ListenAddress> listen;
  // Exact matches of the upgrade request's Origin header (scheme://host[:port]); empty: any Origin.
  // A request whose Origin is not listed is answered "HTTP/1.1 403 Forbidden" with no body and closed.
  // With a list, a request that does not ask for an upgrade is answered "426 Upgrade Required" and closed.
  // With a list, an upgrade with more header lines than are examined and no Origin among them gets the 403.
  std::vector<std::string> allowedOrigins;
  // Whether a request that carries no Origin at all (a program rather than a page) is upgraded when
  // allowedOrigins is not empty.
  bool allowMissingOrigin = true;
  // A data message (all its fragments) or a control frame longer than this closes the connection
  // with status 1009 before its payload is buffered.
  std::optional<std::uint64_t> maxMessageBytes;
  // Connections beyond this many are closed at once, without a byte; the others are not disturbed.
  std::optional<std::size_t> maxConnections;
  // A connection that has not completed its upgrade within this time is closed.
  std::optional<std::chrono::milliseconds> handshakeTimeout;
  // An upgraded connection whose data message (a frame, or the fragments of one) began arriving
  // more than this long ago and is still incomplete is closed with status 1008. Whole seconds: the
  // one-second tick checks it, so the close comes 1-2 s after the time has passed.
  std::optional<std::chrono::seconds> messageTimeout;
  // After the idle ping, a connection from which no frame (the pong or any other) has come within
  // this time is closed with status 1008, also while the handler holds it. Whole seconds, as above.
  std::optional<std::chrono::seconds> pongTimeout;
  // Where the layer reports what an operator should know (a connection ended because memory ran
  // out, say; at most one summary line per minute for each kind of refusal and timeout): one line,
  // no trailing newline, never a client's data except a refused request's Origin, sanitised and
  // cut short. Empty: not reported.
  std::function<void(const std::string& line)> log;
};

}  // namespace net
