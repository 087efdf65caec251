// SPDX-License-Identifier: MIT
#include "service/process_title.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstring>

namespace {

char* g_area = nullptr;
std::size_t g_room = 0;

}  // namespace

void keepProcessTitleArea(int argc, char** argv) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  // The kernel shows the bytes from the first argument's start to the last one's end; they lie
  // one after the other.
  g_area = argv[0];
  char* end = argv[0] + std::strlen(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != end + 1) break;
    end = argv[i] + std::strlen(argv[i]);
  }
  g_room = static_cast<std::size_t>(end - g_area);
}

void setProcessTitle(const char* title, const char* shortName) {
  if (g_area != nullptr) {
    std::memset(g_area, 0, g_room + 1);
    std::memcpy(g_area, title, std::min(std::strlen(title), g_room));
  }
  prctl(PR_SET_NAME, shortName, 0, 0, 0);
}
