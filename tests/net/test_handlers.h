// SPDX-License-Identifier: MIT
// The socket tests' own handlers: the layer under test knows nothing of what they answer.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "net/event.h"

namespace nettest {

// Answers every data message with its payload, as one text frame.
inline void echoHandler(net::Connection* connection, int event, void* data) {
  if (event != net::EV_WEBSOCKET_FRAME) return;
  auto* message = static_cast<net::WebSocketMessage*>(data);
  net::sendWebSocketFrame(connection, net::OP_TEXT, message->data, message->size);
}

// "size:flags:fnv1a" of a payload, so that large messages are checked without echoing them.
inline std::string summary(std::string_view payload, unsigned flags) {
  unsigned long long hash = 14695981039346656037ull;
  for (unsigned char c : payload) hash = (hash ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "%zu:%u:%016llx", payload.size(), flags, hash);
  return text;
}

inline void summaryHandler(net::Connection* connection, int event, void* data) {
  if (event != net::EV_WEBSOCKET_FRAME) return;
  auto* message = static_cast<net::WebSocketMessage*>(data);
  const std::string reply =
      summary({reinterpret_cast<const char*>(message->data), message->size}, message->flags);
  net::sendWebSocketFrame(connection, net::OP_TEXT, reply.data(), reply.size());
}

// A frame as the server sends it (unmasked, FIN), with its length form spelled out by the test.
inline std::string serverFrame(unsigned char first, std::string_view header, std::string_view payload) {
  return std::string(1, static_cast<char>(first)) + std::string(header) + std::string(payload);
}

// The reply the echo handler gives for a short payload (below 126 bytes).
inline std::string echoed(std::string_view payload) {
  return serverFrame(0x81, std::string(1, static_cast<char>(payload.size())), payload);
}

}  // namespace nettest
