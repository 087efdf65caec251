// SPDX-License-Identifier: MIT
// What must hold for the dispatcher's reply to any message, whatever its bytes: the check shared
// by the fuzz target and the replay test of its corpus and past findings.
#pragma once

#include <cstddef>
#include <string>

namespace reliability {

// Runs the message through handleRequest (twice) and returns what is wrong with the reply, or
// nullptr when nothing is. The reply of the first run is left in `reply`.
const char* findReplyFault(const unsigned char* message, std::size_t size, std::string& reply);

}  // namespace reliability
