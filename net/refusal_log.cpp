// SPDX-License-Identifier: MIT
// Counting refusals and timeouts, and the summary lines the tick hands to the operator's log.
#include "net/refusal_log.h"

#include <cstdio>
#include <new>

namespace net {
namespace {

// What each kind's line says, in the order of Refusal; the refused kinds add the last Origin.
constexpr const char* kWhat[kRefusalKinds] = {
    "refused upgrades (403, Origin not allowed)",
    "plain HTTP requests answered 426 (an Origin list is set)",
    "connections closed: request head not HTTP",
    "connections closed at once: max-connections reached",
    "connections closed: handshake-timeout",
    "connections closed: message-timeout (status 1008)",
    "connections closed: pong-timeout (status 1008)",
};

bool carriesOrigin(Refusal kind) { return kind == Refusal::forbidden || kind == Refusal::upgradeRequired; }

}  // namespace

std::string sanitisedOrigin(std::string_view origin) {
  const bool cut = origin.size() > RefusalLog::kOriginBytes;
  if (cut) origin = origin.substr(0, RefusalLog::kOriginBytes);
  std::string text;
  for (const char c : origin) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
      text.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text.append(escaped);
    }
  }
  if (cut) text.append("...");
  return text;
}

void RefusalLog::note(Refusal kind, std::string_view origin) noexcept {
  Count& count = counts_[static_cast<std::size_t>(kind)];
  ++count.count;
  if (!carriesOrigin(kind)) return;
  try {
    count.lastOrigin = sanitisedOrigin(origin);
  } catch (const std::bad_alloc&) {
    count.lastOrigin.clear();  // counted all the same
  }
}

void RefusalLog::flush(std::int64_t now, const std::function<void(const std::string& line)>& sink) {
  for (std::size_t kind = 0; kind < kRefusalKinds; ++kind) {
    Count& count = counts_[kind];
    if (count.count == 0 || (count.reported && now - count.lastLine < kInterval)) continue;
    std::string line = std::string(kWhat[kind]) + ": " + std::to_string(count.count);
    if (carriesOrigin(static_cast<Refusal>(kind))) {
      line += count.lastOrigin.empty() ? ", the last without Origin" : ", last Origin \"" + count.lastOrigin + "\"";
    }
    count.count = 0;
    count.reported = true;
    count.lastLine = now;
    sink(line);
  }
}

}  // namespace net
