// SPDX-License-Identifier: MIT
// tokenbridged: reads its optional configuration file, detaches, listens for WebSocket connections
// (port 9446 on every IPv4 interface unless the file says otherwise) and serves requests for ever
// on one loop. No environment of its own.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "net/server.h"
#include "service/config.h"
#include "service/daemon.h"
#include "service/dispatcher.h"
#include "service/log.h"
#include "service/skf_library.h"

int main(int argc, char** argv) {
  log_open();
  const config::CommandLine command = config::parseCommandLine(argc, argv);
  if (!command.error.empty()) {
    std::fprintf(stderr, "%s\n", command.error.c_str());
    return 1;
  }
  // Read before detaching: a relative --config path still means the starter's directory.
  config::Loaded settings = config::load(command.configPath, command.configNamed);
  if (!settings.error.empty()) startup_failed(settings.error);

  if (init_daemon() != 0) startup_failed(std::string("cannot start in the background: ") + std::strerror(errno));

  settings.options.log = log_warning;
  net::Server server(ev_handler, std::move(settings.options));
  if (const std::error_code error = server.listen(config::kDefaultPort)) {
    startup_failed("cannot listen on " + server.failedAddress() + ": " + error.message());
  }
  log_info("started: version " TOKENBRIDGE_VERSION ", " + server.listeningOn() + ", SKF library " +
           loaded_skf_library());
  // Detached, standard output leads to /dev/null: the diagnostic lines have no console.
  setDiagnosticConsole(nullptr);
  startup_done();
  server.run();
  return 0;
}
