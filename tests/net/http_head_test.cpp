// SPDX-License-Identifier: MIT
// The request head parser as a pure function: a table of heads against the verdict and the fields
// it yields, each input placed against a guard page; then the same heads fed byte by byte.
#include "net/http_head.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"

namespace {

using net::HeadVerdict;
using net::parseRequestHead;
using net::RequestHead;

struct HeadCase {
  std::string name;
  std::string input;
  HeadVerdict verdict;
  std::size_t length = 0;  // for done; npos means the whole input
  std::string key = {};
  std::string protocol = {};
  std::uint64_t contentLength = 0;
  std::string origin = {};
};

constexpr std::size_t kAll = std::string::npos;

// A head with `count` filler headers before the key.
std::string keyAfterHeaders(int count) {
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < count; ++i) head += "X-Filler-" + std::to_string(i) + ": v\r\n";
  return head + "Sec-WebSocket-Key: late\r\n\r\n";
}

// A head padded with one long header so that the whole head is `total` bytes.
std::string headOfSize(std::size_t total, bool terminated) {
  const std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
  const std::string end = terminated ? "\r\n\r\n" : "\r\n";
  return start + std::string(total - start.size() - end.size(), 'a') + end;
}

std::vector<HeadCase> headCases() {
  const auto max64 = std::numeric_limits<std::uint64_t>::max();
  return {
      {"upgrade", "GET / HTTP/1.1\r\nSec-WebSocket-Key: abc\r\n\r\n", HeadVerdict::done, kAll, "abc"},
      {"bare LF line ends", "GET / HTTP/1.1\nSec-WebSocket-Key: abc\n\n", HeadVerdict::done, kAll, "abc"},
      {"LF then CR LF ends it", "GET / HTTP/1.1\nHost: x\n\r\n", HeadVerdict::done, kAll},
      {"bytes after the head are not part of it", "GET / x\r\n\r\n\x81\x00", HeadVerdict::done, 11},
      {"control byte after the end is body", "GET / x\r\n\r\n\t\x01", HeadVerdict::done, 11},
      {"empty input", "", HeadVerdict::needMore},
      {"no empty line yet", "GET / HTTP/1.1\r\nHost: x\r\n", HeadVerdict::needMore},
      {"CR LF CR only", "GET / HTTP/1.1\r\n\r", HeadVerdict::needMore},
      {"one token", "HELLO\r\n\r\n", HeadVerdict::bad},
      {"method only", "GET\r\n\r\n", HeadVerdict::bad},
      {"method and blank only", "GET \r\n\r\n", HeadVerdict::bad},
      {"empty line after leading blank lines", "\r\n\r\nGET / HTTP/1.1\r\n\r\n", HeadVerdict::bad},
      {"leading CR LF skipped", "\r\nGET / HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n", HeadVerdict::done, kAll, "k"},
      {"method, URI and version unchecked", "BREW /pot HTCPCP/1.0\r\nSec-WebSocket-Key: k\r\n\r\n",
       HeadVerdict::done, kAll, "k"},
      {"no version", "GET /\r\n\r\n", HeadVerdict::done, kAll},
      {"TAB in a header", "GET / HTTP/1.1\r\nHost:\tx\r\n\r\n", HeadVerdict::bad},
      {"NUL before the end, head incomplete", std::string("GET / HTTP/1.1\r\nHo\0st", 21), HeadVerdict::bad},
      {"DEL in the request line", "GET /\x7F HTTP/1.1\r\n\r\n", HeadVerdict::bad},
      {"bytes from 0x80 allowed", "GET /\xC3\xA9 HTTP/1.1\r\nSec-WebSocket-Key: \xFF\r\n\r\n", HeadVerdict::done,
       kAll, "\xFF"},
      {"name case-insensitive", "GET / x\r\nsec-websocket-KEY: k\r\n\r\n", HeadVerdict::done, kAll, "k"},
      {"first occurrence wins", "GET / x\r\nSec-WebSocket-Key: one\r\nSec-WebSocket-Key: two\r\n\r\n",
       HeadVerdict::done, kAll, "one"},
      {"empty value does not count", "GET / x\r\nSec-WebSocket-Key:   \r\nSec-WebSocket-Key: two\r\n\r\n",
       HeadVerdict::done, kAll, "two"},
      {"colons and blanks skipped, trailing blanks trimmed", "GET / x\r\nSec-WebSocket-Key:: : k e  \r\n\r\n",
       HeadVerdict::done, kAll, "k e"},
      {"blank separates name and value", "GET / x\r\nSec-WebSocket-Key k\r\n\r\n", HeadVerdict::done, kAll, "k"},
      {"line without a name skipped", "GET / x\r\n: v\r\nSec-WebSocket-Key: k\r\n\r\n", HeadVerdict::done, kAll, "k"},
      {"protocol copied whole", "GET / x\r\nSec-WebSocket-Protocol: chat, superchat  \r\n\r\n", HeadVerdict::done,
       kAll, "", "chat, superchat"},
      {"content length", "POST / x\r\nContent-Length: 12\r\n\r\n", HeadVerdict::done, kAll, "", "", 12},
      {"content length not a number", "POST / x\r\nContent-Length: abc\r\n\r\n", HeadVerdict::done, kAll, "", "", 0},
      {"content length beyond 64 bits", "POST / x\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       HeadVerdict::done, kAll, "", "", max64},
      {"key on header 39 seen", keyAfterHeaders(38), HeadVerdict::done, kAll, "late"},
      {"key on header 40 not seen", keyAfterHeaders(39), HeadVerdict::done, kAll, ""},
      {"origin", "GET / x\r\nOrigin: https://app.example:8443\r\nSec-WebSocket-Key: k\r\n\r\n", HeadVerdict::done,
       kAll, "k", "", 0, "https://app.example:8443"},
      {"origin: first wins, name case-insensitive, kept as sent",
       "GET / x\r\nORIGIN: http://A.example \r\nOrigin: http://b.example\r\n\r\n", HeadVerdict::done, kAll, "", "", 0,
       "http://A.example"},
      {"origin empty counts as absent", "GET / x\r\nOrigin:  \r\n\r\n", HeadVerdict::done, kAll},
      {"head of exactly 8192 bytes", headOfSize(8192, true), HeadVerdict::done, kAll},
      {"head of 8193 bytes", headOfSize(8193, true), HeadVerdict::bad},
      {"8191 bytes without an end", headOfSize(8191, false), HeadVerdict::needMore},
      {"8192 bytes without an end", headOfSize(8192, false), HeadVerdict::bad},
  };
}

void expectResult(const HeadCase& c, HeadVerdict verdict, const RequestHead& head) {
  ASSERT_EQ(verdict, c.verdict);
  if (verdict != HeadVerdict::done) return;
  EXPECT_EQ(head.length, c.length == kAll ? c.input.size() : c.length);
  EXPECT_EQ(head.key, c.key);
  EXPECT_EQ(head.protocol, c.protocol);
  EXPECT_EQ(head.contentLength, c.contentLength);
  EXPECT_EQ(head.origin, c.origin);
}

TEST(HttpHead, Table) {
  for (const HeadCase& c : headCases()) {
    SCOPED_TRACE(c.name);
    const testsupport::GuardedBuffer input(c.input);
    RequestHead head;
    head.length = 99;  // stale outputs must be reset
    head.key = "stale";
    expectResult(c, parseRequestHead(input.view(), head), head);
  }
}

// The connection passes how much it scanned last time; a head that arrives byte by byte must come
// out the same as in one piece.
TEST(HttpHead, ByteByByteWithScanHint) {
  for (const HeadCase& c : headCases()) {
    SCOPED_TRACE(c.name);
    RequestHead head;
    HeadVerdict verdict = HeadVerdict::needMore;
    std::size_t scanned = 0;
    std::unique_ptr<testsupport::GuardedBuffer> prefix;  // the views in `head` point into it
    for (std::size_t n = 1; n <= c.input.size(); ++n) {
      prefix = std::make_unique<testsupport::GuardedBuffer>(std::string_view(c.input).substr(0, n));
      verdict = parseRequestHead(prefix->view(), head, scanned);
      if (verdict != HeadVerdict::needMore) break;
      scanned = n;
    }
    if (c.input.empty()) continue;
    expectResult(c, verdict, head);
  }
}

// The scan skips plain text several bytes at a time: a byte to refuse must be caught at every
// offset of a head, and every byte that is allowed must pass at every offset.
TEST(HttpHead, EveryByteAtEveryOffset) {
  const std::string head = "GET /a/long/enough/path HTTP/1.1\r\nHost: example.test\r\nX-Value: abcdefghijklmnop\r\n\r\n";
  const std::size_t end = head.size() - 4;  // the final CR LF CR LF stays as it is
  for (int value = 0; value < 256; ++value) {
    const auto byte = static_cast<char>(value);
    if (value == '\r' || value == '\n') continue;  // they would make other lines, not a fault
    const bool allowed = value >= 0x20 && value != 0x7F;
    for (std::size_t at = 0; at < end; ++at) {
      if (head[at] == '\r' || head[at] == '\n') continue;  // line ends are not replaced
      if (value == ' ' && at < 32) continue;                // a blank can break the request line
      std::string input = head;
      input[at] = byte;
      const testsupport::GuardedBuffer buffer(input);
      RequestHead parsed;
      const HeadVerdict verdict = parseRequestHead(buffer.view(), parsed);
      ASSERT_EQ(verdict, allowed ? HeadVerdict::done : HeadVerdict::bad) << "byte " << value << " at " << at;
      if (allowed) {
        ASSERT_EQ(parsed.length, head.size());
      }
    }
  }
}

}  // namespace
