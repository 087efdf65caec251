// SPDX-License-Identifier: MIT
// The shared frame of the ten SKF functions: locking, fault injection, liveness of handles and
// the name-list format.
#include "softtoken/skf_call.h"

#include <signal.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "softtoken/quirks.h"
#include "softtoken/state_file.h"

namespace softtoken {

namespace {

ULONG delayOf(const TokenState& state, const std::string& function) {
  auto delay = state.delays_.find(function);
  if (delay == state.delays_.end()) delay = state.delays_.find(kEveryFunction);
  return delay != state.delays_.end() ? delay->second : 0;
}

// A real segmentation fault: a write to a page mapped without access. The default action is put
// back first, so that a sanitizer's handler in the caller's build does not turn it into an exit.
[[noreturn]] void crashHere() {
  ::signal(SIGSEGV, SIG_DFL);
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  volatile char* at = page != MAP_FAILED ? static_cast<volatile char*>(page) : nullptr;
  if (at != nullptr) *at = 1;
  ::raise(SIGSEGV);
  ::abort();
}

}  // namespace

ULONG runSkfCall(std::string_view function, const std::function<ULONG(CallState&)>& body) {
  const StateFile file(statePath());
  const std::string name(function);
  ULONG result = SAR_OK;
  ULONG delayMs = 0;
  bool stuck = false;
  bool crash = false;
  bool written = false;
  // A wedged token: the call waits, without holding the lock (so the command can release it), for
  // as long as the state names its function as stuck. The state is read once per try, and the
  // call runs on that same reading.
  for (;;) {
    written = file.update([&](std::optional<TokenState>& state) {
      stuck = state && state->stuck_.contains(name);
      if (stuck) return false;
      bool counted = false;
      if (state) {
        const auto crashing = state->crashes_.find(name);
        if (crashing != state->crashes_.end()) {
          crash = true;
          if (!crashing->second) return false;
          state->crashes_.erase(crashing);  // written before the crash, so the next call works
          return true;
        }
        delayMs = delayOf(*state, name);
        const auto count = state->calls_.find(name);
        if (count != state->calls_.end()) {
          ++count->second;
          counted = true;
        }
        const auto fault = state->faults_.find(name);
        if (fault != state->faults_.end()) {
          result = fault->second.code_;
          if (!fault->second.once_) return counted;
          state->faults_.erase(fault);
          return true;
        }
      }
      CallState call{file.path(), state};
      result = body(call);
      return call.changed_ || counted;
    });
    if (crash) crashHere();
    if (!stuck) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // A slow token: the time a call takes, spent outside the lock.
  if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return written ? result : SAR_WRITEFILEERR;
}

ULONG checkLive(const HandleEntry& entry, const CallState& call) {
  const std::optional<TokenState>& state = call.state_;
  if (!state || !state->present_ || state->epoch_ != entry.epoch_ || entry.path_ != call.path_) {
    return SAR_DEVICE_REMOVED;
  }
  return SAR_OK;
}

ULONG readUlong(const ULONG* at, const std::set<std::string>& quirks) {
  if (!quirks.contains(std::string(kWideUlong))) return *at;
  std::uint64_t wide;
  std::memcpy(&wide, at, sizeof wide);
  return static_cast<ULONG>(wide);
}

void writeUlong(ULONG* at, ULONG value, const std::set<std::string>& quirks) {
  if (!quirks.contains(std::string(kWideUlong))) {
    *at = value;
    return;
  }
  const std::uint64_t wide = value;
  std::memcpy(at, &wide, sizeof wide);
}

ULONG putNameList(const std::vector<std::string>& names, const std::set<std::string>& quirks, LPSTR buffer,
                  ULONG* size) {
  std::string list;
  for (const std::string& name : names) list.append(name).push_back('\0');
  if (!list.empty()) list.push_back('\0');
  ULONG needed = static_cast<ULONG>(list.size());
  if (buffer == nullptr && quirks.contains(std::string(kHugeSizeQuery))) {
    writeUlong(size, 0xFFFFFFFF, quirks);
    return SAR_OK;
  }
  const ULONG extra = quirks.contains(std::string(kOverstatedSizes)) ? 4096 : 0;
  const ULONG offered = buffer != nullptr ? readUlong(size, quirks) : 0;
  if (buffer != nullptr && offered < needed) {
    writeUlong(size, needed + extra, quirks);
    return SAR_BUFFER_TOO_SMALL;
  }
  if (buffer != nullptr && !names.empty() && quirks.contains(std::string(kUnterminatedLists))) {
    // The names over and over, no NUL anywhere, up to the last byte offered.
    std::string joined;
    for (const std::string& name : names) joined += name;
    for (ULONG i = 0; i < offered; ++i) buffer[i] = joined[i % joined.size()];
    needed = offered;
  } else if (buffer != nullptr) {
    std::memcpy(buffer, list.data(), list.size());
    if (quirks.contains(std::string(kUnderstatedSizes))) needed /= 2;
  }
  writeUlong(size, needed + extra, quirks);
  return SAR_OK;
}

}  // namespace softtoken
