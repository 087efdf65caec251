// SPDX-License-Identifier: MIT
// The listeners and their one loop: accepts TCP connections (on every IPv4 interface and [::1]
// unless the options name addresses), upgrades them to WebSocket and hands every complete data
// message to the registered handler. One thread, one io_context; the handler runs on the thread that
// called run().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "net/event.h"
#include "net/server_options.h"

namespace asio {
class io_context;
}

namespace net {

class Server {
 public:
  // Ignores SIGPIPE for the life of the process, so a vanished peer costs only its own connection.
  explicit Server(Handler handler, ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens one listener per address of options.listen, or, when it is empty, one on 0.0.0.0:port
  // (0 picks a free port) and one on [::1] at the same port unless the machine has no IPv6
  // loopback; each with SO_REUSEADDR and a backlog of 128. Returns the error of the step that
  // failed, or an empty error_code; on failure none stays open.
  std::error_code listen(std::uint16_t port);

  // After a failed listen(): what failed, as "port 9446" (every IPv4 interface), "127.0.0.1:9446"
  // or "[::1]:9446".
  const std::string& failedAddress() const;

  // The port actually listened on by the first listener (useful after listen(0)).
  std::uint16_t port() const;

  // For the operator's log: "port N" on every IPv4 interface ("port N and [::1]:N" with the IPv6
  // loopback), else the addresses listened on.
  std::string listeningOn() const;

  // Serves until stop(). Returns at once if listen() did not succeed.
  void run();

  // Makes run() return; may be called from any thread.
  void stop();

  // The loop's io_context: the service's own sockets and timers run on the same thread as the handler.
  asio::io_context& context();

 private:
  std::error_code listenByDefault(std::uint16_t port);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace net
