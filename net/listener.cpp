// SPDX-License-Identifier: MIT
// Accepting connections without spinning: errors that last (EMFILE, ENFILE, no memory) are
// retried from the tick, never from the accept handler itself.
#include "net/listener.h"

#include <new>
#include <optional>

#include "net/connection.h"
#include "net/loop.h"

namespace net {

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
  doAccept();
}

void Listener::recoverAfterOutOfMemory() {
  ++generation_;
  std::error_code ignored;
  acceptor_.cancel(ignored);
  paused_ = true;
}

// Asio tries the accept at once and waits only when nothing is pending: one accept per connection
// and one that finds the queue empty, with no separate wait for readability. Asio itself retries
// an accept that was interrupted or whose connection was aborted before it was taken, so an error
// here is either the listener's close or one that lasts (no descriptors, no memory).
// Memory running out while the accept is set up pauses the listener like a lasting error.
void Listener::doAccept() {
  try {
    acceptor_.async_accept([this, generation = generation_](const std::error_code& error, asio::ip::tcp::socket socket) {
      if (generation != generation_) return;  // dropped by a recovery; a new accept is started
      if (!error) {
        onAccept(std::move(socket));
      } else if (acceptor_.is_open()) {
        paused_ = true;  // the tick retries; the listener stays open
      }
    });
  } catch (const std::bad_alloc&) {
    paused_ = true;
    loop_.log("accepting paused: out of memory");
  }
}

void Listener::onAccept(asio::ip::tcp::socket socket) {
  const std::optional<std::size_t>& most = loop_.options.maxConnections;
  if (most && loop_.liveConnections(*most) >= *most) {
    std::error_code ignored;
    socket.close(ignored);  // one too many: not a byte sent, no event raised
    loop_.refusals.note(Refusal::tooManyConnections);
    doAccept();
    return;
  }
  Connection* connection = nullptr;
  try {
    connection = new Connection(loop_, std::move(socket));
  } catch (const std::bad_alloc&) {
    paused_ = true;  // no memory for one more: this one is closed, the tick retries the rest
    loop_.log("accepting paused: out of memory");
    return;
  }
  connection->start();
  Connection::settle(connection);
  doAccept();
}

}  // namespace net
