// SPDX-License-Identifier: MIT
// Accepting connections without spinning: errors that last (EMFILE, ENFILE, no memory) are
// retried from the tick, never from the accept handler itself.
#include "net/listener.h"

#include <new>

#include "net/connection.h"
#include "net/loop.h"

namespace net {
namespace {

// Accepts per readiness before the loop serves the accepted connections.
constexpr int kAcceptsPerTurn = 64;

// The connections the loop holds, every listener's together, counted up to `limit`: the walk
// stops there, and is made once per accept turn, not per connection.
std::size_t liveConnections(Loop& loop, std::size_t limit) {
  std::size_t count = 0;
  for (Connection* c = loop.connections.front(); c && count < limit; c = loop.connections.next(c)) ++count;
  return count;
}

}  // namespace

Listener::Listener(Loop& loop) : loop_(loop), acceptor_(loop.io) {}

std::error_code Listener::open(const std::string& address, std::uint16_t port) {
  using asio::ip::tcp;
  std::error_code error;
  const asio::ip::address ip = asio::ip::make_address(address, error);
  if (error) return error;
  const tcp::endpoint endpoint(ip, port);
  acceptor_.open(endpoint.protocol(), error);
  // "[::]" means IPv6 only: IPv4 is listened on when a line names it, and both may share a port.
  if (!error && ip.is_v6()) acceptor_.set_option(asio::ip::v6_only(true), error);
  if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (!error) acceptor_.listen(128, error);
  if (!error) acceptor_.non_blocking(true, error);
  if (!error) port_ = acceptor_.local_endpoint(error).port();
  if (error) {
    std::error_code ignored;
    acceptor_.close(ignored);  // run() then returns at once
  }
  return error;
}

void Listener::start() { doAccept(); }

void Listener::retry() {
  if (!paused_) return;
  paused_ = false;
  onAccept();
}

void Listener::doAccept() {
  acceptor_.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    onAccept();
  });
}

// Edge-triggered underneath: accept until the queue is empty, or post the rest of the turn.
void Listener::onAccept() {
  const std::optional<std::size_t>& most = loop_.options.maxConnections;
  std::size_t live = most ? liveConnections(loop_, *most) : 0;
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    std::error_code error;
    asio::ip::tcp::socket socket = acceptor_.accept(error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
      doAccept();
      return;
    }
    if (error == asio::error::connection_aborted || error == asio::error::interrupted) continue;
    if (error) {
      paused_ = true;  // the tick retries; the listener stays open
      return;
    }
    if (most && live >= *most) {
      socket.close(error);  // one too many: not a byte sent, no event raised
      continue;
    }
    Connection* connection = nullptr;
    try {
      connection = new Connection(loop_, std::move(socket));
    } catch (const std::bad_alloc&) {
      paused_ = true;  // no memory for one more: this one is closed, the tick retries the rest
      return;
    }
    ++live;
    connection->start();
    Connection::settle(connection);
  }
  asio::post(loop_.io, [this] { onAccept(); });
}

}  // namespace net
