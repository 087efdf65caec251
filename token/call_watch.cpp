// SPDX-License-Identifier: MIT
#include "token/call_watch.h"

#include <mutex>
#include <string>

#include "token/warnings.h"

namespace token {
namespace {

using Clock = std::chrono::steady_clock;

struct Watched {
  std::mutex mutex;
  const char* function = nullptr;  // nullptr: no call under way
  Clock::time_point since;
  bool reported = false;
};

Watched& watched() {
  static Watched state;
  return state;
}

std::string waited(Clock::time_point since) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

}  // namespace

CallWatch::CallWatch(const char* function) {
  Watched& state = watched();
  const std::lock_guard<std::mutex> lock(state.mutex);
  state.function = function;
  state.since = Clock::now();
  state.reported = false;
}

CallWatch::~CallWatch() {
  Watched& state = watched();
  std::string line;
  {
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.reported) line = std::string(state.function) + " returned after " + waited(state.since);
    state.function = nullptr;
  }
  if (!line.empty()) warn(line);
}

bool reportStuckCall(std::chrono::milliseconds after) {
  Watched& state = watched();
  std::string line;
  {
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.function == nullptr || state.reported || Clock::now() - state.since < after) return false;
    state.reported = true;
    line = "token library call " + std::string(state.function) + " has not returned for " + waited(state.since) +
           "; token requests wait until it does";
  }
  warn(line);
  return true;
}

}  // namespace token
