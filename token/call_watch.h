// SPDX-License-Identifier: MIT
// Which SKF call is under way and since when, on a board another process can read: the token
// process marks each call on a page it shares with the daemon (which maps it read-only), so that
// a call that does not come back (a token pulled mid-transfer, a wedged device) can be named in the
// log while it waits, ended when it waits too long, and named when the library crashes in it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace token {

// Written by the token process only; read by the daemon, which trusts none of it but bounds it.
struct CallBoard {
  std::atomic<std::uint32_t> function{0};  // kNoCall, or a number from functionName's list
  std::atomic<std::uint32_t> calls{0};     // counts calls, so a reader tells one long call from two
  std::atomic<std::int64_t> sinceNs{0};    // steady clock (CLOCK_MONOTONIC, the same in every process)
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
              "the board is shared between processes: its atomics must not need a lock");

inline constexpr std::uint32_t kNoCall = 0;
inline constexpr std::uint32_t kLoadingLibrary = 11;  // the library's own start-up, inside dlopen

// "SKF_EnumDev" ... for the numbers 1 to 10, "loading the library" for kLoadingLibrary; nullptr
// for kNoCall and any other number.
const char* functionName(std::uint32_t function);

// Where watched() marks calls; nullptr (the default) marks nowhere.
void setCallBoard(CallBoard* board);

// Marks function (one of the ten SKF names) as under way on the board until the call returns.
void markCall(const char* function);
void markLoading();
void markReturned();

// Runs call (an SKF call) marked on the board with the function's name.
template <class Call>
auto watched(const char* function, Call call) {
  markCall(function);
  auto result = call();
  markReturned();
  return result;
}

// What a reader sees on the board: the call under way, or nothing.
struct CallUnderWay {
  std::uint32_t function;
  std::uint32_t serial;
  std::chrono::steady_clock::time_point since;
};
std::optional<CallUnderWay> callUnderWay(const CallBoard& board);

}  // namespace token
