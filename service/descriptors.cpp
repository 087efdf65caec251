// SPDX-License-Identifier: MIT
#include "service/descriptors.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

void closeDescriptorsExcept(std::initializer_list<int> keep) {
  std::vector<int> kept(keep);
  std::sort(kept.begin(), kept.end());
#ifdef SYS_close_range
  // The gaps between the kept ones, each in one call.
  bool closed = true;
  unsigned from = 3;
  for (const int fd : kept) {
    if (fd < 3) continue;
    if (static_cast<unsigned>(fd) > from && ::syscall(SYS_close_range, from, static_cast<unsigned>(fd - 1), 0U) != 0) {
      closed = false;
      break;
    }
    from = static_cast<unsigned>(fd) + 1;
  }
  if (closed && ::syscall(SYS_close_range, from, ~0U, 0U) == 0) return;
#endif
  // Without close_range (an older kernel, an emulator): the list of open ones, gathered first.
  const auto isKept = [&](int fd) { return fd <= 2 || std::binary_search(kept.begin(), kept.end(), fd); };
  std::vector<int> open;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (!isKept(fd) && fd != ::dirfd(dir)) open.push_back(fd);
    }
    ::closedir(dir);
  } else {
    for (int fd = 3; fd < 65536; ++fd) {
      if (!isKept(fd)) open.push_back(fd);
    }
  }
  for (const int fd : open) ::close(fd);
}
