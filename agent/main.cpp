// SPDX-License-Identifier: MIT
// tokenbridge-agent: runs in the user's desktop session and puts the service's questions ("may a
// page of this site use the token?") on the screen, sending back Allow or Block. It reconnects
// as soon as the service is back after a restart. --list and --forget show and drop the user's remembered answers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/asker.h"
#include "agent/daemon_link.h"
#include "agent/socket_watch.h"

namespace {

namespace protocol = consent::agent_line;

constexpr char kDefaultSocket[] = "/run/tokenbridge/agent.sock";
constexpr char kUsage[] =
    "usage: tokenbridge-agent [--socket PATH] [--list | --forget ORIGIN]\n"
    "       tokenbridge-agent --help | --version\n"
    "Asks the person at the screen before a site's page uses the security token.\n"
    "  --socket PATH     the service's agent socket (default /run/tokenbridge/agent.sock)\n"
    "  --list            print the remembered answers (allow|block ORIGIN) and exit\n"
    "  --forget ORIGIN   drop the remembered answer for ORIGIN and exit\n"
    "  -h, --help        print this and exit\n"
    "  --version         print the version and exit\n";

void say(const std::string& line) { std::fprintf(stderr, "tokenbridge-agent: %s\n", line.c_str()); }

// One request and its reply, for --list and --forget.
int command(const std::string& socket, const protocol::Request& request) {
  DaemonLink link;
  if (const std::string why = link.connect(socket); !why.empty()) {
    say("cannot reach the service at " + socket + ": " + why);
    return 1;
  }
  if (!link.send(request)) {
    say("the service closed the connection");
    return 1;
  }
  // Questions meant for the agent may come first; only the reply counts.
  for (;;) {
    bool gone = false;
    const std::optional<protocol::Message> reply = link.receive(gone);
    if (gone) {
      say("the service closed the connection");
      return 1;
    }
    if (!reply) continue;
    if (const auto* remembered = std::get_if<protocol::Remembered>(&*reply)) {
      if (remembered->entries.empty()) std::printf("no remembered answers\n");
      for (const auto& [origin, allow] : remembered->entries) {
        std::printf("%s %s\n", allow ? "allow" : "block", origin.c_str());
      }
      return 0;
    }
    if (const auto* forgot = std::get_if<protocol::Forgot>(&*reply)) {
      if (forgot->found) return 0;
      say("nothing remembered for " + forgot->origin);
      return 1;
    }
    if (const auto* error = std::get_if<protocol::Error>(&*reply)) {
      say("the service says: " + error->text);
      return 1;
    }
  }
}

// SIGTERM, SIGINT and SIGHUP. While a connection is served, the handler only wakes serve(), which
// takes its question down and then ends the agent by the same signal; elsewhere nothing is on the
// screen and the signal ends the agent at once.
volatile sig_atomic_t serving = 0;
volatile sig_atomic_t stopSignal = 0;
int wakeRead = -1;
int wakeWrite = -1;

void endBy(int signal) {
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void onStop(int signal) {
  if (!serving) {
    endBy(signal);
    return;
  }
  const int saved = errno;
  stopSignal = signal;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite, "", 1);
  errno = saved;
}

bool catchStopSignals() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeRead = ends[0];
  wakeWrite = ends[1];
  struct sigaction action {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  return true;
}

// Serves one connection until the service goes away.
void serve(DaemonLink& link, Asker& asker) {
  std::string shown;
  serving = 1;
  for (;;) {
    int timeoutMs = -1;
    pollfd waits[3] = {{link.fd(), POLLIN, 0}, asker.waitFor(timeoutMs), {wakeRead, POLLIN, 0}};
    if (::poll(waits, 3, timeoutMs) < 0 && errno != EINTR) break;
    if (stopSignal) {
      if (!shown.empty()) asker.withdraw(shown);
      endBy(stopSignal);
    }
    bool gone = false;
    for (bool more = waits[0].revents != 0; more && !gone; more = link.pending()) {
      const std::optional<protocol::Message> message = link.receive(gone);
      if (!message) continue;
      if (const auto* ask = std::get_if<protocol::Ask>(&*message)) {
        shown = ask->question;
        asker.ask(*ask);
      } else if (const auto* withdraw = std::get_if<protocol::Withdraw>(&*message)) {
        asker.withdraw(withdraw->question);
      }
    }
    if (gone) break;
    if (const std::optional<Answer> answer = asker.process()) {
      if (!link.send(protocol::Answer{answer->question, answer->allow, answer->remember})) break;
    }
  }
  // The service is gone and so is its question.
  if (!shown.empty()) asker.withdraw(shown);
  serving = 0;
  if (stopSignal) endBy(stopSignal);
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket = kDefaultSocket;
  std::optional<protocol::Request> request;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--socket" && i + 1 < argc) {
      socket = argv[++i];
    } else if (arg == "--list" && !request) {
      request = protocol::List{};
    } else if (arg == "--forget" && i + 1 < argc && !request) {
      request = protocol::Forget{argv[++i]};
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("tokenbridge-agent %s\n", TOKENBRIDGE_VERSION);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 1;
    }
  }
  if (request) return command(socket, *request);

  std::string whyNoNotification;
  std::string whyNoWindow;
  std::unique_ptr<Asker> asker = makeNotificationAsker(whyNoNotification);
  if (!asker) {
    asker = makeWindowAsker(whyNoWindow);
    if (asker) say("asking in a window: " + whyNoNotification);
  }
  if (!asker) {
    say("no way to ask: " + whyNoNotification + "; " + whyNoWindow);
    return 1;
  }
  if (!catchStopSignals()) {
    say("cannot set up signal handling");
    return 1;
  }
  DaemonLink link;
  // Pages of a user who ran an agent wait while none is connected: be back as soon as the service is.
  SocketWatch watch(socket);
  int failures = 0;
  for (;;) {
    if (const std::string why = link.connect(socket); !why.empty()) {
      if (failures == 0) say("waiting for the service at " + socket + ": " + why);
      failures = watch.wait(failures + 1) ? 1 : failures + 1;
      continue;
    }
    say("connected to " + socket);
    failures = 0;
    serve(link, *asker);
    say("the service went away; reconnecting");
    link.close();
  }
}
