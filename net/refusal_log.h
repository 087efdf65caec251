// SPDX-License-Identifier: MIT
// What the layer turned away or timed out, counted per kind and told to the operator in at most
// one line per kind per minute: enough to see that the settings work and who is knocking, too
// little for a page to flood the journal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace net {

enum class Refusal : std::uint8_t {
  forbidden,           // an upgrade whose Origin is not allowed: 403
  upgradeRequired,     // a plain HTTP request while an Origin list is set: 426
  notHttp,             // a request head that is not HTTP: closed without a byte
  tooManyConnections,  // accepted beyond max-connections: closed without a byte
  handshakeTimeout,
  messageTimeout,
  pongTimeout,
};
inline constexpr std::size_t kRefusalKinds = 7;

class RefusalLog {
 public:
  // Seconds between two lines of one kind.
  static constexpr std::int64_t kInterval = 60;
  // The longest part of an Origin kept for the line; the rest is cut and marked.
  static constexpr std::size_t kOriginBytes = 96;

  // Counts one. `origin` is the request's Origin header for the two refused kinds (empty when it
  // had none); it is kept sanitised and bounded. Never throws.
  void note(Refusal kind, std::string_view origin = {}) noexcept;
  // Hands `sink` one line per kind counted since that kind's last line, if that line is at least
  // kInterval seconds old (or there was none), and starts its count again.
  void flush(std::int64_t now, const std::function<void(const std::string& line)>& sink);

 private:
  struct Count {
    std::uint64_t count = 0;
    bool reported = false;     // a line of this kind went out, at lastLine
    std::int64_t lastLine = 0;
    std::string lastOrigin;    // sanitised; "" when none was sent
  };
  std::array<Count, kRefusalKinds> counts_;
};

// A client's Origin as it can go into a log line: printable ASCII as it is, every other byte
// (and '"', '\\') as \xHH, at most kOriginBytes of it, a cut one ending in "...".
std::string sanitisedOrigin(std::string_view origin);

}  // namespace net
