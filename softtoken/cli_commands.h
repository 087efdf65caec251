// SPDX-License-Identifier: MIT
// The softtoken command's subcommands: init, plug, unplug, show, fail, clear and help.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace softtoken {

// Exit codes: 0 done, 1 the state file is missing or cannot be written, 2 bad arguments.
constexpr int kExitOk = 0;
constexpr int kExitState = 1;
constexpr int kExitUsage = 2;

// Runs the command line (without the program name); "init --pins-from-stdin" reads in, results go
// to out, messages to err.
int runSofttoken(const std::vector<std::string>& words, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace softtoken
