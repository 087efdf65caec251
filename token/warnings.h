// SPDX-License-Identifier: MIT
// Lines the token layer has for the operator (a connect the library refused). Where they go is the
// daemon's choice, not this layer's: the daemon points the sink at its system log when it starts,
// as it hands net/ its log in the server's options. Until then lines are dropped, so tests and
// tools that drive the token in their own process write nowhere.
// Callers pass whole lines of their own making: never a PIN, never a client's bytes.
#pragma once

#include <string>

namespace token {

using WarningSink = void (*)(const std::string& line);

// nullptr drops the lines again.
void setWarningSink(WarningSink sink);

void warn(const std::string& line);

}  // namespace token
