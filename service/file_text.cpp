// SPDX-License-Identifier: MIT
#include "service/file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

FileText readFileText(const std::string& path, bool followLinks) {
  FileText file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    file.error = errno;
    return file;
  }
  file.opened = true;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.error = errno;
      file.text.clear();
      break;
    }
    if (n == 0) break;
    file.text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return file;
}
