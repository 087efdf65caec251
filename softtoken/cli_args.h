// SPDX-License-Identifier: MIT
// Command-line parsing for the softtoken command: the --state option, and the options of "init"
// and "fail" turned into values, with a message for every argument that is refused.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "softtoken/token_state.h"

namespace softtoken {

struct Arguments {
  std::string statePath_;  // from --state PATH; empty when not given
  std::string command_;
  std::vector<std::string> rest_;
};

// Takes --state PATH (or --state=PATH) from anywhere on the line; the first other word is the
// command. Nothing, with the reason in *error, when --state lacks its path or no command is given.
std::optional<Arguments> splitArguments(const std::vector<std::string>& words, std::string* error);

// The fresh state that "init" options describe, starting from the defaults; nothing, with the
// reason in *error, for an unknown option, a missing value, a bad number or a value out of range.
// With --pins-from-stdin the user PIN and then the admin PIN are read as two lines of pinInput,
// so they need not stand on a command line. No message repeats a refused PIN.
std::optional<TokenState> parseInit(const std::vector<std::string>& options, std::istream& pinInput,
                                    std::string* error);

struct FaultRequest {
  std::string function_;
  Fault fault_;
};

// "FUNCTION CODE [--once]"; CODE is hex (0x0A000001), decimal or a SAR_ name and not SAR_OK.
std::optional<FaultRequest> parseFail(const std::vector<std::string>& options, std::string* error);

struct CrashRequest {
  std::string function_;
  bool once_ = false;
};

// "FUNCTION [--once]".
std::optional<CrashRequest> parseCrash(const std::vector<std::string>& options, std::string* error);

struct QuirkRequest {
  std::string name_;
  bool on_ = false;
};

// "NAME on|off" with NAME one of the quirks in quirks.h.
std::optional<QuirkRequest> parseQuirk(const std::vector<std::string>& options, std::string* error);

// What "slow", "stick", "release" and "count" act on: a function, or for "slow" every function.
struct TimingRequest {
  std::string function_;  // the library's spelling, or kEveryFunction
  ULONG delayMs_ = 0;     // "slow" only; 0 takes the delay away
};

// "slow MS [FUNCTION]" (MS from 0 to kDelayMaxMs; no FUNCTION: every function), or, for the other
// commands, "FUNCTION".
std::optional<TimingRequest> parseTiming(const std::string& command, const std::vector<std::string>& options,
                                         std::string* error);

}  // namespace softtoken
