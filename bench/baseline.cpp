// SPDX-License-Identifier: MIT
// bench_baseline: the loopback limit the service is measured against. One thread, epoll, a naive
// upgrade, and one precomputed reply frame sent for every data frame received: no JSON, no
// allocation per request, payloads are skipped without being copied.
// Usage: bench_baseline [--port N] --reply TEXT   (prints "listening on port N" once ready)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ws_wire.h"

namespace {

struct Conn {
  bool open = false;
  bool upgraded = false;
  bool writeArmed = false;
  std::string head;              // request head, only until the upgrade
  unsigned char partial[14]{};   // a frame header split across reads
  std::size_t partialLength = 0;
  std::uint64_t skip = 0;        // payload bytes of the current frame still to come
  bool answerCurrent = false;    // the current frame ends a data message
  std::uint64_t pendingReplies = 0;
  std::size_t pendingOffset = 0;  // bytes of the first pending reply already sent
  bool peerClosed = false;        // a Close frame came: its echo goes after the pending replies
};

constexpr std::size_t kHeadLimit = 8192;
constexpr std::size_t kScratchCopies = 64;

int epollFd = -1;
std::vector<Conn> conns;
std::string replyFrame;
std::string scratch;  // kScratchCopies reply frames back to back, so k replies go in one send
unsigned char readBuffer[256 * 1024];

void closeConn(int fd) {
  epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  conns[fd] = Conn();
}

void armWrite(int fd, bool on) {
  Conn& c = conns[fd];
  if (c.writeArmed == on) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  ev.data.fd = fd;
  epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
  c.writeArmed = on;
}

// Sends as many pending replies as the socket takes; false when the connection is gone.
bool flush(int fd) {
  Conn& c = conns[fd];
  const std::size_t len = replyFrame.size();
  while (c.pendingReplies > 0) {
    const std::size_t copies = std::min<std::uint64_t>(c.pendingReplies, kScratchCopies);
    const std::size_t bytes = copies * len - c.pendingOffset;
    const ssize_t sent = send(fd, scratch.data() + c.pendingOffset, bytes, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    const std::size_t done = c.pendingOffset + static_cast<std::size_t>(sent);
    c.pendingReplies -= done / len;
    c.pendingOffset = done % len;
    if (static_cast<std::size_t>(sent) < bytes) break;
  }
  armWrite(fd, c.pendingReplies > 0);
  return true;
}

// Walks frames in data, counting one reply per completed data message; false on a close frame.
bool consumeFrames(Conn& c, const unsigned char* p, std::size_t n) {
  const unsigned char* end = p + n;
  while (p < end) {
    if (c.skip > 0) {
      const std::size_t take = std::min<std::uint64_t>(c.skip, static_cast<std::uint64_t>(end - p));
      p += take;
      c.skip -= take;
      if (c.skip == 0 && c.answerCurrent) ++c.pendingReplies;
      continue;
    }
    bench::FrameHeader h;
    if (c.partialLength == 0 && bench::parseFrameHeader(p, static_cast<std::size_t>(end - p), h)) {
      p += h.headerLength;
    } else {
      // The header is split across reads: gather it byte by byte (rare, at most 14 bytes).
      while (p < end && !bench::parseFrameHeader(c.partial, c.partialLength, h)) c.partial[c.partialLength++] = *p++;
      if (!bench::parseFrameHeader(c.partial, c.partialLength, h)) return true;
      c.partialLength = 0;
    }
    if (h.opcode == 8) {
      c.peerClosed = true;
      return false;
    }
    c.answerCurrent = h.fin && h.opcode < 8;
    c.skip = h.payloadLength;
    if (c.skip == 0 && c.answerCurrent) ++c.pendingReplies;
  }
  return true;
}

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// Collects the request head and answers the upgrade; false to drop the connection.
bool handshake(int fd, const unsigned char* data, std::size_t n) {
  Conn& c = conns[fd];
  c.head.append(reinterpret_cast<const char*>(data), n);
  const std::size_t end = c.head.find("\r\n\r\n");
  if (end == std::string::npos) return c.head.size() <= kHeadLimit;
  const std::string headLower = lower(c.head.substr(0, end + 2));
  const std::size_t at = headLower.find("\r\nsec-websocket-key:");
  if (at == std::string::npos) return false;
  std::size_t from = at + 20;
  while (from < end && c.head[from] == ' ') ++from;
  std::size_t to = c.head.find("\r\n", from);
  while (to > from && c.head[to - 1] == ' ') --to;
  const std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: " + bench::acceptKey(c.head.substr(from, to - from)) + "\r\n\r\n";
  if (send(fd, response.data(), response.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(response.size())) return false;
  const std::string rest = c.head.substr(end + 4);
  c.upgraded = true;
  std::string().swap(c.head);
  return consumeFrames(c, reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
}

void onReadable(int fd) {
  const ssize_t n = recv(fd, readBuffer, sizeof readBuffer, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    closeConn(fd);
    return;
  }
  Conn& c = conns[fd];
  const bool ok = c.upgraded ? consumeFrames(c, readBuffer, static_cast<std::size_t>(n))
                             : handshake(fd, readBuffer, static_cast<std::size_t>(n));
  if (ok && flush(fd)) return;
  if (c.peerClosed && flush(fd)) {
    // The echo of the client's Close, as every client sends it here (status 1000).
    static const unsigned char kCloseEcho[] = {0x88, 0x02, 0x03, 0xE8};
    send(fd, kCloseEcho, sizeof kCloseEcho, MSG_NOSIGNAL);
  }
  closeConn(fd);
}

void onAccept(int listenFd) {
  for (;;) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (static_cast<std::size_t>(fd) >= conns.size()) conns.resize(static_cast<std::size_t>(fd) * 2 + 64);
    conns[fd] = Conn();
    conns[fd].open = true;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
  }
}

[[noreturn]] void fail(const char* step) {
  std::fprintf(stderr, "bench_baseline: %s: %s\n", step, std::strerror(errno));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string reply;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--reply" && i + 1 < argc) {
      reply = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_baseline [--port N] --reply TEXT\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  replyFrame = bench::textFrame(reply, false);
  for (std::size_t i = 0; i < kScratchCopies; ++i) scratch += replyFrame;

  const int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd < 0) fail("socket");
  const int one = 1;
  setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
  // The same backlog as the service, so both face the same connection bursts.
  if (listen(listenFd, 128) != 0) fail("listen");
  socklen_t addrLen = sizeof addr;
  getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &addrLen);

  epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) fail("epoll_create1");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listenFd;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev);
  conns.resize(1024);

  std::printf("listening on port %u\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  epoll_event events[256];
  for (;;) {
    const int n = epoll_wait(epollFd, events, 256, -1);
    if (n < 0 && errno != EINTR) fail("epoll_wait");
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listenFd) {
        onAccept(listenFd);
        continue;
      }
      if (!conns[fd].open) continue;
      if (events[i].events & EPOLLOUT) {
        if (!flush(fd)) {
          closeConn(fd);
          continue;
        }
      }
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) onReadable(fd);
    }
  }
}
