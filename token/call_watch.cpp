// SPDX-License-Identifier: MIT
#include "token/call_watch.h"

#include <cstring>
#include <iterator>

namespace token {
namespace {

constexpr const char* kFunctions[] = {
    nullptr,          "SKF_EnumDev",     "SKF_ConnectDev", "SKF_DisConnectDev", "SKF_GetDevInfo", "SKF_EnumApplication",
    "SKF_OpenApplication", "SKF_CloseApplication", "SKF_VerifyPIN", "SKF_ChangePIN", "SKF_UnblockPIN",
    "loading the library",
};
static_assert(std::size(kFunctions) == kLoadingLibrary + 1);

// The token layer runs on one thread of one process; the board is set before its first call.
CallBoard* g_board = nullptr;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void mark(std::uint32_t function) {
  if (g_board == nullptr) return;
  g_board->calls.fetch_add(1, std::memory_order_relaxed);
  g_board->sinceNs.store(nowNs(), std::memory_order_relaxed);
  g_board->function.store(function, std::memory_order_release);
}

}  // namespace

const char* functionName(std::uint32_t function) {
  return function < std::size(kFunctions) ? kFunctions[function] : nullptr;
}

void setCallBoard(CallBoard* board) { g_board = board; }

void markCall(const char* function) {
  if (g_board == nullptr) return;
  for (std::uint32_t i = 1; i <= 10; ++i) {
    if (std::strcmp(kFunctions[i], function) == 0) return mark(i);
  }
}

void markLoading() { mark(kLoadingLibrary); }

void markReturned() {
  if (g_board != nullptr) g_board->function.store(kNoCall, std::memory_order_release);
}

std::optional<CallUnderWay> callUnderWay(const CallBoard& board) {
  const std::uint32_t function = board.function.load(std::memory_order_acquire);
  if (functionName(function) == nullptr) return std::nullopt;
  const std::chrono::steady_clock::time_point since{std::chrono::nanoseconds(board.sinceNs.load(std::memory_order_relaxed))};
  return CallUnderWay{function, board.calls.load(std::memory_order_relaxed), since};
}

}  // namespace token
