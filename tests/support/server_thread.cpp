// SPDX-License-Identifier: MIT
// The background server of the socket tests.
#include "tests/support/server_thread.h"

#include <system_error>
#include <utility>

namespace testsupport {

ServerThread::ServerThread(net::Handler handler, net::ServerOptions options) : server_(handler, std::move(options)) {
  if (const std::error_code error = server_.listen(0)) throw std::system_error(error, "listen");
  thread_ = std::thread([this] { server_.run(); });
}

ServerThread::~ServerThread() {
  server_.stop();
  thread_.join();
}

}  // namespace testsupport
