// SPDX-License-Identifier: MIT
#include "token/warnings.h"

#include <cstdarg>

namespace token {
namespace {

// Both set once at start-up, before the first token call.
WarningSink g_warningSink = nullptr;
std::FILE* g_traceConsole = nullptr;

}  // namespace

void setWarningSink(WarningSink sink) { g_warningSink = sink; }

void warn(const std::string& line) {
  if (g_warningSink != nullptr) g_warningSink(line);
}

void setTraceConsole(std::FILE* console) { g_traceConsole = console; }

void trace(const char* format, ...) {
  if (g_traceConsole == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(g_traceConsole, format, arguments);
  va_end(arguments);
}

}  // namespace token
