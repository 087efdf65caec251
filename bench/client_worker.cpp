// SPDX-License-Identifier: MIT
// The client side of the benchmark: non-blocking sockets on one epoll per thread, replies parsed
// in place, the next request sent as soon as a reply is read.
#include "bench/client_worker.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "bench/ws_wire.h"

namespace bench {

std::uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

namespace {
constexpr int kHandshakesInFlight = 128;
constexpr std::uint64_t kOpenTimeoutNs = 120ull * 1000000000u;
}  // namespace

ClientWorker::ClientWorker(const sockaddr_in& server, const Request& request, int depth)
    : server_(server), request_(request), depth_(depth), epollFd_(epoll_create1(EPOLL_CLOEXEC)) {}

ClientWorker::~ClientWorker() {
  // Closing with a reset leaves no TIME_WAIT behind, so 10,000 connections can be opened again.
  const linger abortive{1, 0};
  for (Conn& c : conns_) {
    if (c.fd < 0) continue;
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(c.fd);
  }
  close(epollFd_);
}

void ClientWorker::error(const std::string& why) {
  ++stats.errors;
  if (stats.firstError.empty()) stats.firstError = why;
}

void ClientWorker::fail(Conn& c, const std::string& why) {
  if (c.phase == Phase::Dead) return;
  error(why);
  pendingReplies_ -= c.inflight;
  c.inflight = 0;
  c.phase = Phase::Dead;
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
}

void ClientWorker::armWrite(Conn& c, bool on) {
  if (c.writeArmed == on) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  ev.data.u32 = static_cast<std::uint32_t>(&c - conns_.data());
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
  c.writeArmed = on;
}

// A non-blocking socket with its connect started; -1 (and the error counted) on failure.
int ClientWorker::connectSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error(std::string("socket: ") + std::strerror(errno));
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0 && errno != EINPROGRESS) {
    error(std::string("connect: ") + std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

bool ClientWorker::startConnect() {
  const int fd = connectSocket();
  if (fd < 0) return false;
  Conn c;
  c.fd = fd;
  c.sentAt.assign(static_cast<std::size_t>(depth_), 0);
  conns_.push_back(std::move(c));
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u32 = static_cast<std::uint32_t>(conns_.size() - 1);
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
  return true;
}

// Churn: the answered connection is closed (a FIN, as a page closing its socket) and its slot
// connects anew; run() upgrades it and sends its one request.
void ClientWorker::reconnect(Conn& c) {
  if (closeFrame) {
    // Masked with the key 0: the payload (status 1000) goes as it is.
    static const unsigned char kClose[] = {0x88, 0x82, 0, 0, 0, 0, 0x03, 0xE8};
    send(c.fd, kClose, sizeof kClose, MSG_NOSIGNAL);
  }
  close(c.fd);  // also takes it out of the epoll set
  const int fd = connectSocket();
  const std::size_t slot = static_cast<std::size_t>(&c - conns_.data());
  c.fd = fd;
  c.phase = fd < 0 ? Phase::Dead : Phase::Connecting;
  c.writeArmed = false;
  c.inLength = 0;
  c.out.clear();
  c.head = 0;
  c.inflight = 0;
  c.recycle = false;
  if (fd < 0) return;
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u32 = static_cast<std::uint32_t>(slot);
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
}

bool ClientWorker::onConnected(Conn& c) {
  int soError = 0;
  socklen_t len = sizeof soError;
  getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &soError, &len);
  if (soError != 0) {
    fail(c, std::string("connect: ") + std::strerror(soError));
    return false;
  }
  const std::string key = randomKey();
  c.acceptExpected = acceptKey(key);
  const std::string head = upgradeRequest(key);
  if (send(c.fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
    fail(c, "cannot send the upgrade request");
    return false;
  }
  c.phase = Phase::Upgrading;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = static_cast<std::uint32_t>(&c - conns_.data());
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
  return true;
}

// Reads the 101 response; true once it is complete and carries the right accept value.
bool ClientWorker::onUpgradeBytes(Conn& c) {
  if (c.in.size() < 8192) c.in.resize(8192);
  const ssize_t n = recv(c.fd, c.in.data() + c.inLength, c.in.size() - c.inLength, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    fail(c, "connection closed during the upgrade");
    return false;
  }
  c.inLength += static_cast<std::size_t>(n);
  const std::string_view text(reinterpret_cast<const char*>(c.in.data()), c.inLength);
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (c.inLength == c.in.size()) fail(c, "upgrade response too long");
    return false;
  }
  std::string head(text.substr(0, end + 2));
  for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  std::string wanted = "\r\nsec-websocket-accept: " + c.acceptExpected + "\r\n";
  for (char& ch : wanted) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (head.compare(0, 12, "http/1.1 101") != 0 || head.find(wanted) == std::string::npos) {
    fail(c, "bad upgrade response: " + std::string(text.substr(0, std::min<std::size_t>(end, 200))));
    return false;
  }
  const std::size_t rest = c.inLength - (end + 4);
  std::memmove(c.in.data(), c.in.data() + end + 4, rest);
  c.inLength = rest;
  c.in.resize(std::max<std::size_t>(rest, 512));
  c.in.shrink_to_fit();
  std::string().swap(c.acceptExpected);
  c.phase = Phase::Ready;
  return true;
}

bool ClientWorker::open(int count, bool idle) {
  conns_.reserve(conns_.size() + static_cast<std::size_t>(count));
  int started = 0, ready = 0, inProgress = 0;
  const std::uint64_t deadline = nowNs() + kOpenTimeoutNs;
  epoll_event events[256];
  while (ready < count) {
    while (started < count && inProgress < kHandshakesInFlight) {
      if (!startConnect()) return false;
      conns_.back().idle = idle;
      ++started;
      ++inProgress;
    }
    const int n = epoll_wait(epollFd_, events, 256, 100);
    for (int i = 0; i < n; ++i) {
      Conn& c = conns_[events[i].data.u32];
      switch (c.phase) {
        case Phase::Connecting:
          onConnected(c);
          break;
        case Phase::Upgrading:
          if (onUpgradeBytes(c)) {
            --inProgress;
            ++ready;
          }
          break;
        case Phase::Ready:
          onReadable(c, false);  // an idle ping on an older connection
          break;
        case Phase::Dead:
          break;
      }
    }
    if (stats.errors > 0) return false;
    if (nowNs() > deadline) {
      error("timed out opening connections (" + std::to_string(ready) + " of " + std::to_string(count) + " open)");
      return false;
    }
  }
  return true;
}

void ClientWorker::sendRequests(Conn& c, int count, std::uint64_t now) {
  for (int i = 0; i < count; ++i) {
    c.sentAt[(c.head + static_cast<std::size_t>(c.inflight)) % c.sentAt.size()] = now;
    ++c.inflight;
  }
  const std::size_t bytes = request_.frameLength * static_cast<std::size_t>(count);
  if (!c.out.empty()) {
    for (int i = 0; i < count; ++i) c.out.append(request_.frames.data(), request_.frameLength);
    return;
  }
  const ssize_t sent = send(c.fd, request_.frames.data(), bytes, MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    fail(c, std::string("send: ") + std::strerror(errno));
    return;
  }
  const std::size_t done = sent < 0 ? 0 : static_cast<std::size_t>(sent);
  if (done < bytes) {
    c.out.assign(request_.frames.data() + done, bytes - done);
    armWrite(c, true);
  }
}

void ClientWorker::flushOut(Conn& c) {
  while (!c.out.empty()) {
    const ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      fail(c, std::string("send: ") + std::strerror(errno));
      return;
    }
    c.out.erase(0, static_cast<std::size_t>(sent));
  }
  armWrite(c, false);
}

void ClientWorker::handleFrame(Conn& c, int opcode, const unsigned char* payload, std::size_t length, bool refill) {
  if (opcode == 9 || opcode == 10) return;  // the server's idle ping, or a pong
  if (opcode == 8) {
    fail(c, "server closed the connection: " + std::string(reinterpret_cast<const char*>(payload), length));
    return;
  }
  if (c.inflight == 0) {
    error("reply without a request (opcode " + std::to_string(opcode) + ")");
    return;
  }
  const std::uint64_t now = nowNs();
  const std::uint64_t latency = now - c.sentAt[c.head];
  c.head = (c.head + 1) % c.sentAt.size();
  --c.inflight;
  --pendingReplies_;
  lastLatencyNs_ = latency;
  const std::string_view text(reinterpret_cast<const char*>(payload), length);
  if (opcode != 1) {
    error("reply is not a text frame (opcode " + std::to_string(opcode) + ")");
  } else if (request_.verify && text != request_.expect) {
    error("unexpected reply: " + std::string(text.substr(0, 300)));
  } else {
    ++stats.completed;
    if (measuring_) stats.latency.record(latency);
  }
  if (refill && churn) c.recycle = true;
  else if (refill) sendRequests(c, 1, now);
}

void ClientWorker::onReadable(Conn& c, bool refill) {
  if (c.in.size() - c.inLength < 1024) c.in.resize(std::max<std::size_t>(c.in.size() * 2, 4096));
  const ssize_t n = recv(c.fd, c.in.data() + c.inLength, c.in.size() - c.inLength, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    fail(c, n == 0 ? "server closed the connection" : std::string("recv: ") + std::strerror(errno));
    return;
  }
  c.inLength += static_cast<std::size_t>(n);
  std::size_t pos = 0;
  FrameHeader h;
  while (c.phase == Phase::Ready && parseFrameHeader(c.in.data() + pos, c.inLength - pos, h)) {
    const std::size_t total = h.headerLength + static_cast<std::size_t>(h.payloadLength);
    if (c.inLength - pos < total) {
      if (c.in.size() < total) c.in.resize(total);
      break;
    }
    if (h.masked || !h.fin) {
      fail(c, "server frame is masked or fragmented");
      return;
    }
    handleFrame(c, h.opcode, c.in.data() + pos + h.headerLength, static_cast<std::size_t>(h.payloadLength), refill);
    pos += total;
  }
  std::memmove(c.in.data(), c.in.data() + pos, c.inLength - pos);
  c.inLength -= pos;
}

void ClientWorker::run(std::uint64_t measureFromNs, std::uint64_t endNs) {
  const std::uint64_t start = nowNs();
  for (Conn& c : conns_) {
    if (!c.idle && c.phase == Phase::Ready) sendRequests(c, depth_, start);
  }
  epoll_event events[512];
  for (;;) {
    const std::uint64_t now = nowNs();
    if (now >= endNs) break;
    if (!measuring_ && now >= measureFromNs) {
      // Only what happens inside the measured window counts, errors included.
      stats = WorkerStats();
      measuring_ = true;
    }
    const std::uint64_t next = measuring_ ? endNs : measureFromNs;
    const int timeoutMs = static_cast<int>(std::min<std::uint64_t>((next - now) / 1000000 + 1, 100));
    const int n = epoll_wait(epollFd_, events, 512, timeoutMs);
    for (int i = 0; i < n; ++i) {
      Conn& c = conns_[events[i].data.u32];
      if (churn && c.phase == Phase::Connecting) {
        onConnected(c);
        continue;
      }
      if (churn && c.phase == Phase::Upgrading) {
        if (onUpgradeBytes(c)) sendRequests(c, 1, nowNs());
        continue;
      }
      if (c.phase != Phase::Ready) continue;
      if (events[i].events & EPOLLOUT) flushOut(c);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) onReadable(c, !c.idle);
      if (c.recycle) reconnect(c);
    }
  }
  measuring_ = false;
}

bool ClientWorker::serveOnce(double timeoutSeconds) {
  const std::uint64_t errorsBefore = stats.errors;
  const std::uint64_t now = nowNs();
  pendingReplies_ = 0;
  for (Conn& c : conns_) {
    if (c.phase != Phase::Ready) continue;
    sendRequests(c, 1, now);
    ++pendingReplies_;
  }
  const std::uint64_t deadline = now + static_cast<std::uint64_t>(timeoutSeconds * 1e9);
  epoll_event events[512];
  while (pendingReplies_ > 0 && nowNs() < deadline) {
    const int n = epoll_wait(epollFd_, events, 512, 100);
    for (int i = 0; i < n; ++i) {
      Conn& c = conns_[events[i].data.u32];
      if (c.phase != Phase::Ready) continue;
      if (events[i].events & EPOLLOUT) flushOut(c);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) onReadable(c, false);
    }
  }
  if (pendingReplies_ > 0) error(std::to_string(pendingReplies_) + " connections got no reply in time");
  return stats.errors == errorsBefore;
}

bool ClientWorker::oneMessage(const std::string& frame, std::uint64_t& sendNs, std::uint64_t& replyNs) {
  if (conns_.empty() || conns_[0].phase != Phase::Ready) return false;
  Conn& c = conns_[0];
  const std::uint64_t first = nowNs();
  std::size_t done = 0;
  while (done < frame.size()) {
    const ssize_t sent = send(c.fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        fail(c, std::string("send: ") + std::strerror(errno));
        return false;
      }
      pollfd p{c.fd, POLLOUT, 0};
      poll(&p, 1, 1000);
      continue;
    }
    done += static_cast<std::size_t>(sent);
  }
  const std::uint64_t last = nowNs();
  c.sentAt[c.head] = last;
  c.inflight = 1;
  pendingReplies_ = 1;
  const std::uint64_t deadline = last + 30ull * 1000000000u;
  while (pendingReplies_ > 0 && c.phase == Phase::Ready && nowNs() < deadline) {
    pollfd p{c.fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) onReadable(c, false);
  }
  if (pendingReplies_ > 0) {
    error("no reply to the large message");
    return false;
  }
  sendNs = last - first;
  replyNs = lastLatencyNs_;
  return stats.errors == 0;
}

}  // namespace bench
