// SPDX-License-Identifier: MIT
#include "agent/daemon_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

DaemonLink::~DaemonLink() { close(); }

std::string DaemonLink::connect(const std::string& path) {
  close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return "the socket path is too long";
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string why = std::strerror(errno);
    close();
    return why;
  }
  return "";
}

bool DaemonLink::send(const consent::agent_line::Request& request) {
  const std::string line = consent::agent_line::format(request) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<consent::agent_line::Message> DaemonLink::receive(bool& gone) {
  gone = false;
  std::size_t end = buffered_.find('\n');
  if (end == std::string::npos) {
    char chunk[4096];
    ssize_t n;
    do {
      n = ::read(fd_, chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      gone = true;
      return std::nullopt;
    }
    buffered_.append(chunk, static_cast<std::size_t>(n));
    end = buffered_.find('\n');
    if (end == std::string::npos) return std::nullopt;
  }
  const std::string line = buffered_.substr(0, end);
  buffered_.erase(0, end + 1);
  std::optional<consent::agent_line::Message> message = consent::agent_line::parseMessage(line);
  if (!message) gone = true;
  return message;
}

void DaemonLink::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffered_.clear();
}
