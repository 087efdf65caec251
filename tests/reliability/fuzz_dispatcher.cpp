// SPDX-License-Identifier: MIT
// libFuzzer target for the dispatcher: any bytes as one message must give exactly one reply in one
// of the two envelope forms, at most 1023 characters, the same reply when sent again, and never a
// crash or a leak. No token is present, so every command takes its failure path without hardware.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/reliability/dispatcher_oracle.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // A state file that cannot exist: the software token reads as absent and nothing is written.
  setenv("SOFTTOKEN_STATE", "/nonexistent/tokenbridge-fuzz/state.json", 1);
  // The dispatcher prints two lines per request; at fuzzing speed they would drown the log.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string reply;
  if (const char* fault = reliability::findReplyFault(data, size, reply)) {
    // Abort so libFuzzer keeps the input; stderr says what broke.
    std::fprintf(stderr, "fuzz_dispatcher: %s\nreply (%zu characters, up to 300 shown): %.300s\n", fault, reply.size(),
                 reply.c_str());
    std::abort();
  }
  return 0;
}
