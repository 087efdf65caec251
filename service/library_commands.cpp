// SPDX-License-Identifier: MIT
#include "service/library_commands.h"

#include <cstring>

namespace {
constexpr char kLibVersion[] = "1.0.220104";
}

int StartMonitor(unsigned char* /*buffer*/) { return 0; }

int GetLibVersion(unsigned char* out) {
  std::memcpy(out, kLibVersion, sizeof kLibVersion);
  return 1;
}
