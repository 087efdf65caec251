// SPDX-License-Identifier: MIT
// Any bytes as one agent-socket line, both ways: parsing never throws or crashes, and whatever
// parses (but an invalid request) formats to a line that parses again to the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/consent/agent_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace line = consent::agent_line;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // An Invalid request is answered with an error line, not sent back: no round trip for it.
  const std::optional<line::Request> request = line::parseRequest(text);
  if (request && !std::holds_alternative<line::Invalid>(*request)) {
    const std::string again = line::format(*request);
    const std::optional<line::Request> back = line::parseRequest(again);
    if (!back || line::format(*back) != again) std::abort();
  }
  if (const std::optional<line::Message> message = line::parseMessage(text)) {
    const std::string again = line::format(*message);
    const std::optional<line::Message> back = line::parseMessage(again);
    if (!back || line::format(*back) != again) std::abort();
  }
  return 0;
}
