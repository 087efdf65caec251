// SPDX-License-Identifier: MIT
// Parses an HTTP request head from raw bytes as a pure function: no sockets, no allocation. It
// finds the end of the head, rejects what is not HTTP and picks out the few headers we need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace net {

enum class HeadVerdict {
  done,      // a whole head is in the buffer; `length` bytes belong to it
  needMore,  // no end yet, and fewer than kMaxHeadBytes bytes buffered
  bad,       // not HTTP, a control byte, or no end within kMaxHeadBytes: close without a reply
};

struct RequestHead {
  std::size_t length;             // bytes of the head, its final empty line included
  std::string_view key;           // Sec-WebSocket-Key, empty when absent
  std::string_view protocol;      // Sec-WebSocket-Protocol, empty when absent
  std::string_view origin;        // Origin, empty when absent
  std::uint64_t contentLength;    // Content-Length, 0 when absent or not a number
  bool truncated;                 // header lines beyond kMaxHeaders were left unread
};

// The head must end within this many bytes.
inline constexpr std::size_t kMaxHeadBytes = 8192;
// Only the first this-many header lines with a value are examined.
inline constexpr int kMaxHeaders = 39;

// Parses the head at the start of `bytes`. `scanned` is how many bytes an earlier call on the same
// growing buffer has already scanned (0 the first time); it keeps a head that arrives byte by byte
// from being rescanned from the start every time. The views in `out` point into `bytes`; all of
// `out` is reset on entry.
HeadVerdict parseRequestHead(std::string_view bytes, RequestHead& out, std::size_t scanned = 0);

}  // namespace net
