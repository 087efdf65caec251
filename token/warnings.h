// SPDX-License-Identifier: MIT
// Lines the token layer has for the operator (a connect the library refused), and its trace lines
// for a developer at a console (each connect's return code, the serial read). Where they go is the
// daemon's choice, not this layer's: the daemon points the sink at its system log when it starts,
// as it hands net/ its log in the server's options, and the trace at the console the dispatcher's
// diagnostic lines go to. Until then both are dropped, so tests and tools that drive the token in
// their own process write nowhere.
// Callers pass whole lines of their own making: never a PIN, never a client's bytes.
#pragma once

#include <cstdio>
#include <string>

namespace token {

using WarningSink = void (*)(const std::string& line);

// nullptr drops the lines again.
void setWarningSink(WarningSink sink);

void warn(const std::string& line);

// nullptr, the default, drops the trace lines without formatting them.
void setTraceConsole(std::FILE* console);

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace token
