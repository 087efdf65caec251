// SPDX-License-Identifier: MIT
// Runs a net::Server with a test's handler (and options, if any) on an ephemeral port in a
// background thread, and stops and joins it when the object goes out of scope.
#pragma once

#include <cstdint>
#include <thread>

#include "net/server.h"

namespace testsupport {

class ServerThread {
 public:
  // Throws std::system_error when the listener cannot be opened.
  explicit ServerThread(net::Handler handler, net::ServerOptions options = {});
  ~ServerThread();
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  std::uint16_t port() const { return server_.port(); }

 private:
  net::Server server_;
  std::thread thread_;
};

}  // namespace testsupport
