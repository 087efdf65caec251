// SPDX-License-Identifier: MIT
#include "service/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
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

bool writeAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int replaceFileText(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool written = fd >= 0 && ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
  int error = written ? 0 : errno;
  if (fd >= 0 && ::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) ::unlink(temporary.c_str());
  return error;
}
