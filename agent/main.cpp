// SPDX-License-Identifier: MIT
// tokenbridge-agent: runs in the user's desktop session and puts the service's questions ("may a
// page of this site use the token?") on the screen, sending back Allow or Block. It reconnects
// as soon as the service is back after a restart. --list and --forget show and drop the user's remembered answers.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/asker.h"
#include "agent/daemon_link.h"
#include "agent/socket_watch.h"

namespace {

namespace protocol = consent::agent_line;

constexpr char kDefaultSocket[] = "/run/tokenbridge/agent.sock";
constexpr char kUsage[] = "usage: tokenbridge-agent [--socket PATH] [--list | --forget ORIGIN]";

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

// Serves one connection until the service goes away.
void serve(DaemonLink& link, Asker& asker) {
  std::string shown;
  for (;;) {
    int timeoutMs = -1;
    pollfd waits[2] = {{link.fd(), POLLIN, 0}, asker.waitFor(timeoutMs)};
    if (::poll(waits, 2, timeoutMs) < 0 && errno != EINTR) return;
    bool gone = false;
    for (bool more = waits[0].revents != 0; more && !gone; more = link.pending()) {
      const std::optional<protocol::Message> message = link.receive(gone);
      if (!message) continue;
      if (const auto* ask = std::get_if<protocol::Ask>(&*message)) {
        shown = ask->question;
        asker.ask(shown, ask->origin);
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
    } else {
      std::fprintf(stderr, "%s\n", kUsage);
      return arg == "--help" ? 0 : 1;
    }
  }
  if (request) return command(socket, *request);

  std::string whyNoNotification;
  std::string whyNoDialog;
  std::unique_ptr<Asker> asker = makeNotificationAsker(whyNoNotification);
  if (!asker) asker = makeDialogAsker(whyNoDialog);
  if (!asker) {
    say("no way to ask: " + whyNoNotification + "; " + whyNoDialog);
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
