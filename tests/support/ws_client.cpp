// SPDX-License-Identifier: MIT
// The raw test client: plain blocking sockets with poll() deadlines, no WebSocket library, so the
// tests see exactly the bytes the server sent.
#include "tests/support/ws_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string buildFrame(std::string_view payload, const FrameSpec& spec) {
  std::string out;
  out.push_back(static_cast<char>((spec.fin ? 0x80 : 0) | ((spec.rsv & 7) << 4) | (spec.opcode & 0x0F)));
  const unsigned char maskBit = spec.masked ? 0x80 : 0;
  const std::uint64_t n = payload.size();
  LengthForm form = spec.form;
  if (form == LengthForm::minimal) form = n < 126 ? LengthForm::minimal : n < 65536 ? LengthForm::bits16 : LengthForm::bits64;
  if (form == LengthForm::minimal) {
    out.push_back(static_cast<char>(maskBit | n));
  } else if (form == LengthForm::bits16) {
    out.push_back(static_cast<char>(maskBit | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
  } else {
    out.push_back(static_cast<char>(maskBit | 127));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(n >> (56 - 8 * i)));
  }
  const std::size_t start = out.size() + (spec.masked ? 4 : 0);
  if (spec.masked) out.append(reinterpret_cast<const char*>(spec.mask.data()), 4);
  out.append(payload);
  if (spec.masked)
    for (std::size_t i = 0; i < payload.size(); ++i) out[start + i] ^= static_cast<char>(spec.mask[i & 3]);
  return out;
}

std::string textFrame(std::string_view payload) { return buildFrame(payload); }

std::string frame(unsigned opcode, std::string_view payload, bool fin) {
  FrameSpec spec;
  spec.opcode = opcode;
  spec.fin = fin;
  return buildFrame(payload, spec);
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

RawClient::RawClient(RawClient&& other) noexcept
    : fd_(other.fd_), buffered_(std::move(other.buffered_)), peerClosed_(other.peerClosed_) {
  other.fd_ = -1;
}

bool RawClient::connect(std::uint16_t port) { return connect("127.0.0.1", port); }

bool RawClient::connect(const std::string& address, std::uint16_t port) {
  sockaddr_storage where{};
  socklen_t size = 0;
  if (address.find(':') != std::string::npos) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&where);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) != 1) return false;
    size = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&where);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &in4->sin_addr) != 1) return false;
    size = sizeof *in4;
  }
  fd_ = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&where), size) == 0;
}

bool RawClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::size_t RawClient::sendUntilStalled(std::string_view bytes, int stallMs, std::size_t limit) {
  std::size_t taken = 0;
  std::size_t offset = 0;  // into bytes, where the next copy goes on
  pollfd p{fd_, POLLOUT, 0};
  while (taken < limit && ::poll(&p, 1, stallMs) > 0) {
    const std::size_t want = std::min(bytes.size() - offset, limit - taken);
    const ssize_t n = ::send(fd_, bytes.data() + offset, want, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
    offset = (offset + static_cast<std::size_t>(n)) % bytes.size();
  }
  return taken;
}

std::string RawClient::upgradeRequest(std::string_view path, std::string_view extraHeaders,
                                      std::string_view key) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n");
  request.append("Sec-WebSocket-Key: ").append(key).append("\r\n");
  request.append(extraHeaders).append("\r\n");
  return request;
}

std::string RawClient::upgrade(std::string_view path, std::string_view extraHeaders,
                               std::string_view key, int timeoutMs) {
  if (!send(upgradeRequest(path, extraHeaders, key))) return {};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = buffered_.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::string head = buffered_.substr(0, end + 4);
      buffered_.erase(0, end + 4);
      return head;
    }
    if (receive(remainingMs(deadline)) <= 0) return {};
  }
}

bool RawClient::open(std::uint16_t port) {
  return connect(port) && upgrade().find(kSampleAccept) != std::string::npos;
}

int RawClient::receive(int timeoutMs) {
  if (peerClosed_) return -1;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return 0;
  char chunk[65536];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    peerClosed_ = true;
    return -1;
  }
  buffered_.append(chunk, static_cast<std::size_t>(n));
  return 1;
}

std::optional<std::string> RawClient::readExactly(std::size_t n, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (buffered_.size() < n)
    if (receive(remainingMs(deadline)) <= 0) return std::nullopt;
  std::string out = buffered_.substr(0, n);
  buffered_.erase(0, n);
  return out;
}

std::optional<ReceivedFrame> RawClient::readFrame(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto need = [&](std::size_t n) {
    while (buffered_.size() < n)
      if (receive(remainingMs(deadline)) <= 0) return false;
    return true;
  };
  if (!need(2)) return std::nullopt;
  ReceivedFrame f;
  f.first = static_cast<unsigned char>(buffered_[0]);
  const auto second = static_cast<unsigned char>(buffered_[1]);
  f.masked = (second & 0x80) != 0;
  std::uint64_t length = second & 0x7F;
  std::size_t header = 2;
  if (length == 126) header = 4;
  if (length == 127) header = 10;
  if (!need(header + (f.masked ? 4 : 0))) return std::nullopt;
  if (header > 2) {
    length = 0;
    for (std::size_t i = 2; i < header; ++i) length = (length << 8) | static_cast<unsigned char>(buffered_[i]);
  }
  unsigned char mask[4] = {};
  if (f.masked) {
    std::memcpy(mask, buffered_.data() + header, 4);
    header += 4;
  }
  if (!need(header + length)) return std::nullopt;
  f.headerLength = header;
  f.payload = buffered_.substr(header, length);
  if (f.masked)
    for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= static_cast<char>(mask[i & 3]);
  buffered_.erase(0, header + length);
  return f;
}

Drained RawClient::drain(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Drained out;
  for (;;) {
    const int got = receive(remainingMs(deadline));
    if (got < 0) {
      out.closed = true;
      break;
    }
    if (got == 0 && remainingMs(deadline) == 0) break;
  }
  out.bytes.swap(buffered_);
  return out;
}

bool RawClient::waitClosed(int timeoutMs) { return drain(timeoutMs).closed; }

void RawClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

}  // namespace testsupport
