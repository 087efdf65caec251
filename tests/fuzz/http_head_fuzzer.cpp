// SPDX-License-Identifier: MIT
// Fuzzes the request head parser: views stay inside the head, a head parses the same when cut to
// its own length, one byte less needs more, and feeding it in random splits with the scan hint
// gives the verdict and fields of parsing it whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/http_head.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool inside(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

bool same(const net::RequestHead& a, const net::RequestHead& b) {
  return a.length == b.length && a.key == b.key && a.protocol == b.protocol && a.origin == b.origin &&
         a.contentLength == b.contentLength;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::uint32_t seed = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string_view bytes(input);

  net::RequestHead whole;
  const net::HeadVerdict verdict = net::parseRequestHead(bytes, whole);
  if (verdict == net::HeadVerdict::done) {
    check(whole.length >= 2 && whole.length <= bytes.size() && whole.length <= net::kMaxHeadBytes);
    const std::string_view head = bytes.substr(0, whole.length);
    check(inside(whole.key, head) && inside(whole.protocol, head) && inside(whole.origin, head));
    net::RequestHead cut;
    check(net::parseRequestHead(head, cut) == net::HeadVerdict::done && same(cut, whole));
    check(net::parseRequestHead(head.substr(0, head.size() - 1), cut) == net::HeadVerdict::needMore);
  }
  if (verdict == net::HeadVerdict::needMore) check(bytes.size() < net::kMaxHeadBytes);

  // Incremental feeding, as the connection does.
  net::RequestHead part;
  net::HeadVerdict last = net::HeadVerdict::needMore;
  std::size_t scanned = 0, have = 0;
  while (have < bytes.size()) {
    seed = seed * 1103515245u + 12345u;
    have += 1 + (seed >> 16) % 64;
    if (have > bytes.size()) have = bytes.size();
    last = net::parseRequestHead(bytes.substr(0, have), part, scanned);
    if (last != net::HeadVerdict::needMore) break;
    scanned = have;
  }
  check(last == verdict);
  if (verdict == net::HeadVerdict::done) check(same(part, whole));
  return 0;
}
