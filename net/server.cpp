// SPDX-License-Identifier: MIT
// net::Server: the loop, one listener per address and the one-second tick that pings idle
// connections and retries a paused listener.
#include "net/server.h"

#include <cerrno>
#include <csignal>
#include <list>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "net/listener.h"
#include "net/loop.h"

namespace net {
namespace {

std::string printable(const ListenAddress& where) {
  const bool v6 = where.address.find(':') != std::string::npos;
  return (v6 ? "[" + where.address + "]" : where.address) + ":" + std::to_string(where.port);
}

}  // namespace

struct Server::Impl {
  Impl(Handler handler, ServerOptions options) : loop(handler, std::move(options)), tick(loop.io) {}

  // Without the tick nothing would retry a paused listener, so a tick that cannot be armed for
  // want of memory is tried again after a pause of the whole loop: memory is short for every
  // connection then anyway.
  void armTick() {
    for (bool told = false;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
      try {
        tick.expires_after(std::chrono::seconds(1));
        tick.async_wait([this](const std::error_code& error) {
          if (error == asio::error::operation_aborted) return;
          for (Listener& listener : listeners) listener.retry();
          loop.tick(nowSeconds());
          armTick();
        });
        return;
      } catch (const std::bad_alloc&) {
        if (!told) loop.log("tick not armed: out of memory, trying again");
        told = true;
      }
    }
  }

  // Destroyed in reverse: the tick and the listeners before the loop and its io_context.
  Loop loop;
  std::list<Listener> listeners;  // a list: each stays where its handlers point
  asio::steady_timer tick;
  std::string failedAddress;
  bool ipv6Loopback = false;  // the default's [::1] listener is open
};

Server::Server(Handler handler, ServerOptions options)
    : impl_(std::make_unique<Impl>(handler, std::move(options))) {
  std::signal(SIGPIPE, SIG_IGN);
}

Server::~Server() = default;

std::error_code Server::listen(std::uint16_t port) {
  impl_->listeners.clear();
  impl_->failedAddress.clear();
  impl_->ipv6Loopback = false;
  if (impl_->loop.options.listen.empty()) return listenByDefault(port);
  for (const ListenAddress& where : impl_->loop.options.listen) {
    Listener& listener = impl_->listeners.emplace_back(impl_->loop);
    if (const std::error_code error = listener.open(where.address, where.port)) {
      impl_->failedAddress = printable(where);
      impl_->listeners.clear();  // all or none: run() then returns at once
      return error;
    }
  }
  return {};
}

// Every IPv4 interface, and [::1] on the same port: browsers try ::1 first for "localhost", and a
// port left free there could be taken by any local program to answer pages in the daemon's place.
// A machine without IPv6 has no ::1 to take, so there the IPv4 listener alone is enough.
std::error_code Server::listenByDefault(std::uint16_t port) {
  Listener& any = impl_->listeners.emplace_back(impl_->loop);
  if (const std::error_code error = any.open("0.0.0.0", port)) {
    impl_->failedAddress = "port " + std::to_string(port);
    impl_->listeners.clear();
    return error;
  }
  const ListenAddress loopback{.address = "::1", .port = any.port()};
  const std::error_code error = impl_->listeners.emplace_back(impl_->loop).open(loopback.address, loopback.port);
  if (!error) {
    impl_->ipv6Loopback = true;
    return {};
  }
  impl_->listeners.pop_back();
  // Asio's errors compare by their errno values, not with std::errc.
  if (error == asio::error::address_family_not_supported || error.value() == EADDRNOTAVAIL) return {};
  impl_->failedAddress = printable(loopback);
  impl_->listeners.clear();
  return error;
}

const std::string& Server::failedAddress() const { return impl_->failedAddress; }

std::string Server::listeningOn() const {
  const std::vector<ListenAddress>& addresses = impl_->loop.options.listen;
  if (addresses.empty()) {
    const std::string text = "port " + std::to_string(port());
    return impl_->ipv6Loopback ? text + " and [::1]:" + std::to_string(port()) : text;
  }
  std::string text;
  for (const ListenAddress& where : addresses) text += (text.empty() ? "" : ", ") + printable(where);
  return text;
}

std::uint16_t Server::port() const { return impl_->listeners.empty() ? 0 : impl_->listeners.front().port(); }

void Server::run() {
  if (impl_->listeners.empty()) return;
  for (Listener& listener : impl_->listeners) listener.start();
  impl_->armTick();
  for (;;) {
    try {
      impl_->loop.io.run();
      return;
    } catch (const std::bad_alloc&) {
      // Every handler of ours catches its own; this one came from Asio taking in an accepted
      // socket (registering it costs an allocation) before our accept handler could run.
      impl_->loop.log("accepting paused: out of memory");
      for (Listener& listener : impl_->listeners) listener.recoverAfterOutOfMemory();
    } catch (const std::exception& error) {
      // Last resort: a handler that let an exception out loses what it was doing, not the
      // service for every other connection.
      impl_->loop.log((std::string("an event handler failed: ") + error.what()).c_str());
    }
  }
}

void Server::stop() { impl_->loop.io.stop(); }

asio::io_context& Server::context() { return impl_->loop.io; }

}  // namespace net
