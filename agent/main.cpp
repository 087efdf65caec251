// SPDX-License-Identifier: MIT
// tokenbridge-agent: runs in the user's desktop session and puts the service's questions ("may a
// page of this site use the token?") on the screen, sending back Allow or Block. It reconnects
// whenever the service restarts. --list and --forget show and drop the user's remembered answers.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/asker.h"
#include "agent/daemon_link.h"

namespace {

constexpr char kDefaultSocket[] = "/run/tokenbridge/agent.sock";
constexpr char kUsage[] = "usage: tokenbridge-agent [--socket PATH] [--list | --forget ORIGIN]";
constexpr int kReconnectMs = 2000;

void say(const std::string& line) { std::fprintf(stderr, "tokenbridge-agent: %s\n", line.c_str()); }

// One request and its reply, for --list and --forget.
int command(const std::string& socket, const Json::Value& request) {
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
    const std::optional<Json::Value> reply = link.receive(gone);
    if (gone) {
      say("the service closed the connection");
      return 1;
    }
    if (!reply) continue;
    if (reply->isMember("remembered")) {
      if ((*reply)["remembered"].empty()) std::printf("no remembered answers\n");
      for (const Json::Value& entry : (*reply)["remembered"]) {
        std::printf("%s %s\n", entry["decision"].asCString(), entry["origin"].asCString());
      }
      return 0;
    }
    if (reply->isMember("forgot")) {
      if ((*reply)["found"].asBool()) return 0;
      say("nothing remembered for " + (*reply)["forgot"].asString());
      return 1;
    }
    if (reply->isMember("error")) {
      say("the service says: " + (*reply)["error"].asString());
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
      const std::optional<Json::Value> message = link.receive(gone);
      if (message && (*message)["ask"].isString()) {
        shown = (*message)["ask"].asString();
        asker.ask(shown, (*message)["origin"].asString());
      } else if (message && (*message)["withdraw"].isString()) {
        asker.withdraw((*message)["withdraw"].asString());
      }
    }
    if (gone) break;
    if (const std::optional<Answer> answer = asker.process()) {
      Json::Value reply(Json::objectValue);
      reply["answer"] = answer->question;
      reply["decision"] = answer->allow ? "allow" : "block";
      reply["remember"] = answer->remember;
      if (!link.send(reply)) break;
    }
  }
  // The service is gone and so is its question.
  if (!shown.empty()) asker.withdraw(shown);
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket = kDefaultSocket;
  Json::Value request;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--socket" && i + 1 < argc) {
      socket = argv[++i];
    } else if (arg == "--list" && request.isNull()) {
      request["list"] = true;
    } else if (arg == "--forget" && i + 1 < argc && request.isNull()) {
      request["forget"] = argv[++i];
    } else {
      std::fprintf(stderr, "%s\n", kUsage);
      return arg == "--help" ? 0 : 1;
    }
  }
  if (!request.isNull()) return command(socket, request);

  std::string whyNoNotification;
  std::string whyNoDialog;
  std::unique_ptr<Asker> asker = makeNotificationAsker(whyNoNotification);
  if (!asker) asker = makeDialogAsker(whyNoDialog);
  if (!asker) {
    say("no way to ask: " + whyNoNotification + "; " + whyNoDialog);
    return 1;
  }
  DaemonLink link;
  bool reported = false;
  for (;;) {
    if (const std::string why = link.connect(socket); !why.empty()) {
      if (!reported) say("waiting for the service at " + socket + ": " + why);
      reported = true;
      ::usleep(kReconnectMs * 1000);
      continue;
    }
    say("connected to " + socket);
    reported = false;
    serve(link, *asker);
    say("the service went away; reconnecting");
    link.close();
  }
}
