// SPDX-License-Identifier: MIT
// tokenbridged: detaches, listens for WebSocket connections on port 9446 and serves requests for
// ever on one loop. No arguments, no environment, no configuration.
#include <cerrno>
#include <cstring>
#include <string>

#include "net/server.h"
#include "service/daemon.h"
#include "service/dispatcher.h"
#include "service/log.h"
#include "service/skf_library.h"

namespace {
constexpr unsigned short kServicePort = 9446;
}

int main(int /*argc*/, char** /*argv*/) {
  log_open();
  if (init_daemon() != 0) startup_failed(std::string("cannot start in the background: ") + std::strerror(errno));

  net::ServerOptions options;
  options.log = log_warning;
  net::Server server(ev_handler, options);
  if (const std::error_code error = server.listen(kServicePort)) {
    startup_failed("cannot listen on port " + std::to_string(kServicePort) + ": " + error.message());
  }
  log_info("started: version " TOKENBRIDGE_VERSION ", port " + std::to_string(server.port()) + ", SKF library " +
           loaded_skf_library());
  startup_done();
  server.run();
  return 0;
}
