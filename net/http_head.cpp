// SPDX-License-Identifier: MIT
// HTTP request head parser (pure: no sockets, no allocation). The connection feeds it the bytes
// received so far and acts on its verdict; the method, URI and version are never checked.
#include "net/http_head.h"

#include <cstring>
#include <limits>

namespace net {
namespace {

bool isBlank(char c) { return c == ' '; }

bool allowedHeadByte(unsigned char c) {
  return c >= 0x80 || (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n';
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Leading digits only; a value too large for 64 bits is clamped, so the body is never cut short.
std::uint64_t parseLength(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return std::numeric_limits<std::uint64_t>::max();
    value = value * 10 + digit;
  }
  return value;
}

// True when none of the 8 bytes at p is below 0x20 or 0x7F: they hold neither a line end nor a
// byte to refuse, so the scan may skip them whole. (Per byte: below 0x20 sets the top bit of
// byte - 0x20 while the byte's own top bit is clear; 0x7F is a zero byte of word ^ 0x7F7F...)
bool plainWord(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kTops = 0x8080808080808080u;
  const std::uint64_t control = (word - 0x20 * kOnes) & ~word & kTops;
  const std::uint64_t del = word ^ (0x7F * kOnes);
  return (control | ((del - kOnes) & ~del & kTops)) == 0;
}

// Finds the end of the head: an LF followed by LF or by CR LF. Returns the head's length, or 0.
// Fails on a control byte before the end. Runs of plain text are skipped 8 bytes at a time.
HeadVerdict findEnd(std::string_view bytes, std::size_t from, std::size_t& length) {
  const std::size_t limit = bytes.size() < kMaxHeadBytes ? bytes.size() : kMaxHeadBytes;
  std::size_t i = from;
  while (i < limit) {
    if (i + 8 <= limit && plainWord(bytes.data() + i)) {
      i += 8;
      continue;
    }
    const std::size_t stop = i + 8 < limit ? i + 8 : limit;
    for (; i < stop; ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (!allowedHeadByte(c)) return HeadVerdict::bad;
      if (c != '\n') continue;
      if (i + 1 < limit && bytes[i + 1] == '\n') {
        length = i + 2;
        return HeadVerdict::done;
      }
      if (i + 2 < limit && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
        length = i + 3;
        return HeadVerdict::done;
      }
    }
  }
  return bytes.size() >= kMaxHeadBytes ? HeadVerdict::bad : HeadVerdict::needMore;
}

// One line without its CR LF or LF; `pos` moves past the line end.
std::string_view nextLine(std::string_view head, std::size_t& pos) {
  const std::size_t start = pos;
  std::size_t end = head.find('\n', pos);
  if (end == std::string_view::npos) end = head.size();
  pos = end + 1;
  std::size_t stop = end;
  if (stop > start && head[stop - 1] == '\r') --stop;
  return head.substr(start, stop - start);
}

// The request line needs a blank-separated second token; nothing else is checked.
bool requestLineParses(std::string_view line) {
  const std::size_t blank = line.find(' ');
  if (blank == 0 || blank == std::string_view::npos) return false;
  return line.find_first_not_of(' ', blank) != std::string_view::npos;
}

// Name up to the first ':' or blank; then every ':' and blank skipped; the value ends at the line
// end (or a stray CR) with trailing blanks trimmed.
void splitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
  std::size_t i = 0;
  while (i < line.size() && line[i] != ':' && !isBlank(line[i])) ++i;
  name = line.substr(0, i);
  while (i < line.size() && (line[i] == ':' || isBlank(line[i]))) ++i;
  std::size_t end = i;
  while (end < line.size() && line[end] != '\r') ++end;
  while (end > i && isBlank(line[end - 1])) --end;
  value = line.substr(i, end - i);
}

}  // namespace

HeadVerdict parseRequestHead(std::string_view bytes, RequestHead& out, std::size_t scanned) {
  out = RequestHead{};
  // Back up two bytes so an end marker split across two calls is still seen.
  const std::size_t from = scanned > 2 ? scanned - 2 : 0;
  std::size_t length = 0;
  const HeadVerdict end = findEnd(bytes, from, length);
  if (end != HeadVerdict::done) return end;

  const std::string_view head = bytes.substr(0, length);
  std::size_t pos = 0;
  while (pos < head.size() && (head[pos] == '\r' || head[pos] == '\n')) ++pos;
  if (!requestLineParses(nextLine(head, pos))) return HeadVerdict::bad;

  bool haveKey = false, haveProtocol = false, haveLength = false, haveOrigin = false;
  int examined = 0;
  while (pos < head.size() && examined < kMaxHeaders) {
    const std::string_view line = nextLine(head, pos);
    if (line.empty()) break;  // the final empty line
    std::string_view name, value;
    splitHeader(line, name, value);
    if (name.empty() || value.empty()) continue;  // does not count as a header
    ++examined;
    if (!haveKey && equalsIgnoreCase(name, "Sec-WebSocket-Key")) {
      haveKey = true;
      out.key = value;
    } else if (!haveProtocol && equalsIgnoreCase(name, "Sec-WebSocket-Protocol")) {
      haveProtocol = true;
      out.protocol = value;
    } else if (!haveLength && equalsIgnoreCase(name, "Content-Length")) {
      haveLength = true;
      out.contentLength = parseLength(value);
    } else if (!haveOrigin && equalsIgnoreCase(name, "Origin")) {
      haveOrigin = true;
      out.origin = value;
    }
  }
  // More header lines than were examined: an Origin may be among those not read.
  out.truncated = examined == kMaxHeaders && pos < head.size() && !nextLine(head, pos).empty();
  out.length = length;
  return HeadVerdict::done;
}

}  // namespace net
