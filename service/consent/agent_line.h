// SPDX-License-Identifier: MIT
// The agent protocol's lines, both ways: one flat JSON object per line. Any local user may connect
// to the agent socket, so a line is checked field by field and nothing in it can throw past here:
// a line that is no object (or nests, or is too deep) parses to nothing, a known key with the wrong
// type parses to Invalid.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace consent::agent_line {

// Agent to daemon.
struct Answer {
  std::string question;
  bool allow = false;
  bool remember = false;
};
struct List {};
struct Forget {
  std::string origin;
};
struct Invalid {  // an object the daemon answers with an error line
  std::string why;
};
using Request = std::variant<Answer, List, Forget, Invalid>;

// Daemon to agent.
struct Ask {
  std::string question;
  std::string origin;
  int waiting = 0;  // other sites queued behind this question; left out of the line when 0
};
struct Withdraw {
  std::string question;
};
struct Remembered {
  std::vector<std::pair<std::string, bool>> entries;  // origin, allow
};
struct Forgot {
  std::string origin;
  bool found = false;
};
struct Error {
  std::string text;
};
using Message = std::variant<Ask, Withdraw, Remembered, Forgot, Error>;

// Without the newline. nullopt: not one JSON object (the peer is not speaking the protocol).
std::optional<Request> parseRequest(std::string_view line);
std::optional<Message> parseMessage(std::string_view line);

// Without the newline.
std::string format(const Request& request);
std::string format(const Message& message);

}  // namespace consent::agent_line
