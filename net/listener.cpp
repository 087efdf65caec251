// SPDX-License-Identifier: MIT
// Accepting connections without spinning: errors that last (EMFILE, ENFILE, no memory) are
// retried from the tick, never from the accept handler itself.
#include "net/listener.h"

#include "net/connection.h"
#include "net/loop.h"

namespace net {
namespace {
// Accepts per readiness before the loop serves the accepted connections.
constexpr int kAcceptsPerTurn = 64;
}

Listener::Listener(Loop& loop) : loop_(loop), acceptor_(loop.io) {}

std::error_code Listener::open(std::uint16_t port) {
  using asio::ip::tcp;
  std::error_code error;
  acceptor_.open(tcp::v4(), error);
  if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor_.bind(tcp::endpoint(asio::ip::address_v4::any(), port), error);
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
    auto* connection = new Connection(loop_, std::move(socket));
    connection->start();
    Connection::settle(connection);
  }
  asio::post(loop_.io, [this] { onAccept(); });
}

}  // namespace net
