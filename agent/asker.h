// SPDX-License-Identifier: MIT
// How the agent puts a question on the user's screen: a desktop notification with buttons, or a
// window of its own. One question at a time; the answer comes back through poll().
#pragma once

#include <poll.h>

#include <memory>
#include <optional>
#include <string>

#include "service/consent/agent_line.h"

struct Answer {
  std::string question;
  bool allow = false;
  bool remember = false;
};

class Asker {
 public:
  virtual ~Asker() = default;
  // Shows the question; a question still shown is taken down first.
  virtual void ask(const consent::agent_line::Ask& ask) = 0;
  // Takes the question down, if it is still the one shown.
  virtual void withdraw(const std::string& question) = 0;
  // What to wait for before calling process(): a descriptor (fd -1: none) and a timeout in ms (-1: none).
  virtual pollfd waitFor(int& timeoutMs) = 0;
  // Handles what arrived; an answer once the user has given one.
  virtual std::optional<Answer> process() = 0;
};

// The notification server of the session bus when it shows actions as buttons; else a window;
// none when there is no way to ask (the reason in `why`).
std::unique_ptr<Asker> makeNotificationAsker(std::string& why);
std::unique_ptr<Asker> makeWindowAsker(std::string& why);
