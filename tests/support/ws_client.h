// SPDX-License-Identifier: MIT
// A raw, blocking WebSocket/TCP client for tests: every byte on the wire is under the test's
// control (frames of any opcode, FIN, mask and length form), and every read has a timeout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace testsupport {

// RFC 6455's example key and the accept value it gives.
inline constexpr std::string_view kSampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
inline constexpr std::string_view kSampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
// Every byte the server sends to an upgrade whose Origin it refuses, before it closes.
inline constexpr std::string_view kForbiddenResponse =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

enum class LengthForm { minimal, bits16, bits64 };

struct FrameSpec {
  bool fin = true;
  unsigned opcode = 1;
  bool masked = true;
  unsigned rsv = 0;  // the three RSV bits, 0-7
  LengthForm form = LengthForm::minimal;
  std::array<unsigned char, 4> mask{0x37, 0xFA, 0x21, 0x3D};
};

// One frame as the client would send it.
std::string buildFrame(std::string_view payload, const FrameSpec& spec = {});
// Shorthands: a masked frame with FIN.
std::string textFrame(std::string_view payload);
std::string frame(unsigned opcode, std::string_view payload, bool fin = true);

struct ReceivedFrame {
  unsigned char first = 0;        // FIN, RSV and opcode byte as sent
  bool masked = false;
  std::size_t headerLength = 0;   // shows which length form was used
  std::string payload;
  bool fin() const { return (first & 0x80) != 0; }
  unsigned opcode() const { return first & 0x0F; }
};

// What arrived within a time: the bytes, and whether the peer closed (EOF or reset).
struct Drained {
  std::string bytes;
  bool closed = false;
};

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(RawClient&& other) noexcept;
  RawClient& operator=(RawClient&&) = delete;
  RawClient(const RawClient&) = delete;

  // Blocking connect to 127.0.0.1:port.
  bool connect(std::uint16_t port);
  // Blocking connect to a numeric IPv4 or IPv6 address ("127.0.0.2", "::1").
  bool connect(const std::string& address, std::uint16_t port);
  bool send(std::string_view bytes);
  // Sends `bytes` over and over, as much as the socket takes, until it has taken nothing for
  // stallMs or `limit` bytes in all. Returns the bytes taken; the last copy may be cut anywhere.
  std::size_t sendUntilStalled(std::string_view bytes, int stallMs, std::size_t limit);
  // The request an upgrade test sends: GET path HTTP/1.1 with Host, Upgrade, Connection, the key
  // and `extraHeaders` (complete lines with CR LF).
  static std::string upgradeRequest(std::string_view path = "/", std::string_view extraHeaders = "",
                                    std::string_view key = kSampleKey);
  // Sends upgradeRequest() and returns the response head up to its empty line; empty on timeout.
  std::string upgrade(std::string_view path = "/", std::string_view extraHeaders = "",
                      std::string_view key = kSampleKey, int timeoutMs = 2000);
  // Connect and upgrade in one step.
  bool open(std::uint16_t port);

  std::optional<std::string> readExactly(std::size_t n, int timeoutMs);
  std::optional<ReceivedFrame> readFrame(int timeoutMs);
  // Reads everything that arrives within timeoutMs, stopping early when the peer closes.
  Drained drain(int timeoutMs);
  // True when the peer closes within timeoutMs; bytes received meanwhile are discarded.
  bool waitClosed(int timeoutMs);
  void shutdownWrite();
  int fd() const { return fd_; }

 private:
  // Appends what one recv gives to buffered_; 0 on timeout, -1 on close or error.
  int receive(int timeoutMs);

  int fd_ = -1;
  std::string buffered_;
  bool peerClosed_ = false;
};

}  // namespace testsupport
