// SPDX-License-Identifier: MIT
// tokenbridged: reads its optional configuration file, detaches, listens for WebSocket connections
// (port 9446 on every IPv4 interface unless the file says otherwise) and serves requests for ever
// on one loop, one thread; the token library is loaded and called only in its child, the token
// process (service/token_process.h). No environment of its own.
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
#include "service/file_confinement.h"
#include "service/log.h"
#include "service/consent/paths.h"
#include "service/consent/upgrade_consent.h"
#include "service/process_title.h"
#include "service/token_process.h"

namespace {

net::Server* g_server = nullptr;
bool g_starterGone = false;

// Without the starter no token process can be started again: the daemon ends with an error, and
// its service manager starts it anew.
void stopWithoutStarter() {
  g_starterGone = true;
  logWarning("stopping: the service cannot serve the token any more");
  if (g_server != nullptr) g_server->stop();
}

}  // namespace

int main(int argc, char** argv) {
  keepProcessTitleArea(argc, argv);
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

  // A large block (a big message, its reply) is mapped on its own and unmapped when freed, so that
  // memory used once for a big request does not stay with the process.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  settings.options.log = logWarning;
  const bool originListed = !settings.options.allowedOrigins.empty();
  net::Server server(ev_handler, std::move(settings.options));
  // Before listening: the token process gets none of the listeners (it closes what it inherits
  // anyway), and a library that cannot be loaded stops the start as the dynamic loader did.
  // The token processes' starter is forked here, before the confinement below.
  g_server = &server;
  TokenProcess tokenProcess(server.context(), {.callTimeout = settings.token.callTimeout,
                                               .log = logWarning,
                                               .starterGone = stopWithoutStarter});
  if (const std::string error = tokenProcess.start(); !error.empty()) {
    startupFailed("error while loading shared libraries: " + error);
  }
  setTokenProcess(&tokenProcess);
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
  // Everything is open that the network process opens by name: it gives up the rest of the file
  // system (devices, the library's folders) for good.
  const bool consentFiles = consent.rules.mode != consent::Mode::allow;
  const bool agentSocket = consent.rules.mode == consent::Mode::ask;
  logInfo(confine::describe(confine::confineTo(confine::networkProcessAccess(
      consentFiles ? consent.directory : std::string(), agentSocket ? consent.agentSocket : std::string()))));
  logInfo("started: version " TOKENBRIDGE_VERSION ", " + server.listeningOn() + ", SKF library " +
          tokenProcess.libraryPath());
  // Detached, standard output leads to /dev/null: the diagnostic lines have no console.
  setDiagnosticConsole(nullptr);
  startupDone();
  server.run();
  return g_starterGone ? 1 : 0;
}
