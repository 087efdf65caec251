// SPDX-License-Identifier: MIT
// Which SKF call is under way and since when, readable from another thread: a token call that does
// not come back (a token pulled mid-transfer, a wedged device) is named in the log while it waits,
// and again when it returns.
#pragma once

#include <chrono>

namespace token {

// Marks one SKF call for its lifetime. The token layer makes one call at a time, so one is
// watched at a time. A call that reportStuckCall named is named again, with its wait, on return.
class CallWatch {
 public:
  explicit CallWatch(const char* function);  // a string literal: it is read after the call site returns
  ~CallWatch();
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;
};

// Runs call (an SKF call) under a watch with the function's name.
template <class Call>
auto watched(const char* function, Call call) {
  const CallWatch watch(function);
  return call();
}

// Any thread, called now and then: when the call under way has taken at least `after`, writes one
// warning naming it and its wait (once per call). True when it wrote one.
bool reportStuckCall(std::chrono::milliseconds after);

}  // namespace token
