// SPDX-License-Identifier: MIT
// The listener and its one loop: accepts TCP connections on all IPv4 interfaces, upgrades them to
// WebSocket and hands every complete data message to the registered handler. One thread, one
// io_context; the handler runs on the thread that called run().
#pragma once

#include <cstdint>
#include <memory>
#include <system_error>

#include "net/event.h"
#include "net/server_options.h"

namespace net {

class Server {
 public:
  // Ignores SIGPIPE for the life of the process, so a vanished peer costs only its own connection.
  explicit Server(Handler handler, ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the listener on 0.0.0.0:port (0 picks a free port) with SO_REUSEADDR and a backlog of
  // 128. Returns the error of the step that failed, or an empty error_code.
  std::error_code listen(std::uint16_t port);

  // The port actually listened on (useful after listen(0)).
  std::uint16_t port() const;

  // Serves until stop(). Returns at once if listen() did not succeed.
  void run();

  // Makes run() return; may be called from any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace net
