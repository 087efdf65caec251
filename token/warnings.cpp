// SPDX-License-Identifier: MIT
#include "token/warnings.h"

namespace token {
namespace {

// Set once at start-up, before the loop runs; the token layer is only entered from that one loop.
WarningSink g_warningSink = nullptr;

}  // namespace

void setWarningSink(WarningSink sink) { g_warningSink = sink; }

void warn(const std::string& line) {
  if (g_warningSink != nullptr) g_warningSink(line);
}

}  // namespace token
