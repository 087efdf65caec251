// SPDX-License-Identifier: MIT
// The daemon's command line and its optional configuration file: plain "key = value" lines, "#"
// comments, blank lines. Every key is an opt-in restriction; no file means no restriction.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/server_options.h"
#include "service/consent/board.h"

namespace config {

inline constexpr char kDefaultPath[] = "/etc/tokenbridge/tokenbridged.conf";
inline constexpr std::uint16_t kDefaultPort = 9446;
inline constexpr char kUsage[] = "usage: tokenbridged [--config FILE]";
// What --help prints, after kUsage.
inline constexpr char kHelp[] =
    "       tokenbridged --help | --version\n"
    "Serves web pages on this computer the security token over WebSocket (port 9446 unless the\n"
    "settings say otherwise), in the background. FILE: the settings file, by default\n"
    "/etc/tokenbridge/tokenbridged.conf (optional unless named). See tokenbridged(8).";

// What the command line asks for. `error` is set (to kUsage) when an argument is not understood.
struct CommandLine {
  enum class Action { serve, help, version };
  Action action = Action::serve;
  std::string configPath = kDefaultPath;
  bool configNamed = false;  // given with --config: then the file must exist
  std::string error;
};
CommandLine parseCommandLine(int argc, const char* const* argv);

// Who decides about a page of an origin nobody listed, and where the daemon keeps what is decided.
struct ConsentSettings {
  consent::Settings rules;  // unknown-origin, consent-timeout
  std::string directory = "/var/lib/tokenbridge/consent";
  std::string agentSocket = "/run/tokenbridge/agent.sock";
  // "FILE:LINE" where the file set each, for errors found when the daemon starts; empty: the default.
  std::string directoryAt;
  std::string agentSocketAt;
};

// The token process's bounds.
struct TokenSettings {
  std::chrono::seconds callTimeout{30};  // token-call-timeout; 0: a call may take for ever
};

// The options a file sets, or the one line that says what is wrong with it:
// "FILE:LINE: what is wrong", or "FILE: what is wrong" where no line is to blame.
struct Loaded {
  net::ServerOptions options;
  ConsentSettings consent;
  TokenSettings token;
  std::string error;
};

// Parses the text of a file; `name` is what error lines call the file.
Loaded parse(std::string_view text, const std::string& name);

// Reads and parses the file. A file that does not exist gives no options and no error unless
// `mustExist`; one that exists but cannot be read is an error either way.
Loaded load(const std::string& path, bool mustExist);

}  // namespace config
