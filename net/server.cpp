// SPDX-License-Identifier: MIT
// net::Server: the loop, the listener and the one-second tick that pings idle connections and
// retries a paused listener.
#include "net/server.h"

#include <csignal>
#include <utility>

#include "net/listener.h"
#include "net/loop.h"

namespace net {

struct Server::Impl {
  Impl(Handler handler, ServerOptions options) : loop(handler, std::move(options)), listener(loop), tick(loop.io) {}

  void armTick() {
    tick.expires_after(std::chrono::seconds(1));
    tick.async_wait([this](const std::error_code& error) {
      if (error == asio::error::operation_aborted) return;
      listener.retry();
      loop.pingIdle(nowSeconds());
      armTick();
    });
  }

  // Destroyed in reverse: the tick and the listener before the loop and its io_context.
  Loop loop;
  Listener listener;
  asio::steady_timer tick;
};

Server::Server(Handler handler, ServerOptions options)
    : impl_(std::make_unique<Impl>(handler, std::move(options))) {
  std::signal(SIGPIPE, SIG_IGN);
}

Server::~Server() = default;

std::error_code Server::listen(std::uint16_t port) { return impl_->listener.open(port); }

std::uint16_t Server::port() const { return impl_->listener.port(); }

void Server::run() {
  if (!impl_->listener.isOpen()) return;
  impl_->listener.start();
  impl_->armTick();
  impl_->loop.io.run();
}

void Server::stop() { impl_->loop.io.stop(); }

}  // namespace net
