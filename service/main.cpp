// SPDX-License-Identifier: MIT
// tokenbridged: reads its optional configuration file, detaches, listens for WebSocket connections
// (port 9446 on every IPv4 interface unless the file says otherwise) and serves requests for ever
// on one loop, with the token library's calls on one thread of their own. No environment of its own.
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "net/server.h"
#include "service/config.h"
#include "service/daemon.h"
#include "service/dispatcher.h"
#include "service/log.h"
#include "service/skf_library.h"
#include "service/stuck_call_watcher.h"
#include "service/token_thread.h"
#include "service/consent/paths.h"
#include "service/consent/upgrade_consent.h"
#include "token/warnings.h"

int main(int argc, char** argv) {
  openLog();
  const config::CommandLine command = config::parseCommandLine(argc, argv);
  if (!command.error.empty()) {
    std::fprintf(stderr, "%s\n", command.error.c_str());
    return 1;
  }
  if (command.action == config::CommandLine::Action::help) {
    std::printf("%s\n%s\n", config::kUsage, config::kHelp);
    return 0;
  }
  if (command.action == config::CommandLine::Action::version) {
    std::printf("tokenbridged " TOKENBRIDGE_VERSION "\n");
    return 0;
  }
  // Read before detaching: a relative --config path still means the starter's directory.
  config::Loaded settings = config::load(command.configPath, command.configNamed);
  if (!settings.error.empty()) startupFailed(settings.error);
  if (settings.consent.rules.mode == consent::Mode::ask) {
    const config::ConsentSettings& paths = settings.consent;
    const std::string wrong = consent::checkConsentPaths({"consent-dir", paths.directory, paths.directoryAt},
                                                         {"agent-socket", paths.agentSocket, paths.agentSocketAt});
    if (!wrong.empty()) startupFailed(wrong);
  }

  if (init_daemon() != 0) startupFailed(std::string("cannot start in the background: ") + std::strerror(errno));

  // The loop and the token thread share one heap, and a large block (a big message, its reply) is
  // mapped on its own and unmapped when freed: otherwise glibc gives the token thread an arena of
  // its own and raises its mapping threshold after each large free, and memory used once for a big
  // request stays with the process.
  ::mallopt(M_ARENA_MAX, 1);
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  settings.options.log = logWarning;
  token::setWarningSink(logWarning);
  // Every token library call is made on this thread; the loop below keeps the sockets.
  TokenThread tokenThread;
  setTokenThread(&tokenThread);
  // Logs a token call that has not returned after 10 s; the token layer logs its return.
  const StuckCallWatcher stuckCallWatcher;
  const bool originListed = !settings.options.allowedOrigins.empty();
  net::Server server(ev_handler, std::move(settings.options));
  if (const std::error_code error = server.listen(config::kDefaultPort)) {
    startupFailed("cannot listen on " + server.failedAddress() + ": " + error.message());
  }
  // unknown-origin = allow: no board at all, every upgrade the Origin list lets in is served.
  const config::ConsentSettings& consent = settings.consent;
  std::unique_ptr<UpgradeConsent> upgradeConsent;
  if (consent.rules.mode != consent::Mode::allow) {
    upgradeConsent = std::make_unique<UpgradeConsent>(server.context(), consent.rules, consent.directory,
                                                      originListed, logWarning);
    if (consent.rules.mode == consent::Mode::ask) {
      // Without the agent socket nobody can be asked, and pages are served as without consent.
      if (const std::error_code error = upgradeConsent->listen(consent.agentSocket)) {
        logWarning("cannot listen for consent agents on " + consent.agentSocket + ": " + error.message() +
                   "; pages of unlisted origins are served without asking");
      }
    }
    setUpgradeConsent(upgradeConsent.get());
  }
  logInfo("started: version " TOKENBRIDGE_VERSION ", " + server.listeningOn() + ", SKF library " +
          loadedSkfLibrary());
  // Detached, standard output leads to /dev/null: the diagnostic lines have no console.
  setDiagnosticConsole(nullptr);
  startupDone();
  server.run();
  return 0;
}
