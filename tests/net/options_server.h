// SPDX-License-Identifier: MIT
// Runs a net::Server with a test's handler and ServerOptions on an ephemeral port of 0.0.0.0 in a
// background thread; stops and joins it when the object goes out of scope.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "net/server.h"

namespace nettest {

class OptionsServer {
 public:
  OptionsServer(net::Handler handler, net::ServerOptions options) : server_(handler, std::move(options)) {
    if (const std::error_code error = server_.listen(0)) throw std::system_error(error, "listen");
    thread_ = std::thread([this] { server_.run(); });
  }
  ~OptionsServer() {
    server_.stop();
    thread_.join();
  }
  OptionsServer(const OptionsServer&) = delete;
  OptionsServer& operator=(const OptionsServer&) = delete;

  std::uint16_t port() const { return server_.port(); }

 private:
  net::Server server_;
  std::thread thread_;
};

}  // namespace nettest
