// SPDX-License-Identifier: MIT
// What the WebSocket layer tells the service and the one thing the service may tell it back.
// The event numbers are those of the networking library the service was designed around, so the
// handler keeps its (connection, event, event data) shape. Nothing here knows about JSON or tokens.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace net {

class Connection;

// Event numbers passed to the handler. Three carry data: EV_WEBSOCKET_HANDSHAKE_REQUEST,
// EV_WEBSOCKET_FRAME and EV_WEBSOCKET_CONTROL_FRAME.
enum Event : int {
  EV_ACCEPT = 1,                        // a TCP connection was accepted
  EV_CLOSE = 5,                         // the connection is about to be closed
  EV_HTTP_REQUEST = 100,                // a complete request head without Sec-WebSocket-Key
  EV_WEBSOCKET_HANDSHAKE_REQUEST = 111, // a request head with Sec-WebSocket-Key, before the 101; an UpgradeRequest*
  EV_WEBSOCKET_HANDSHAKE_DONE = 112,    // the 101 response is queued
  EV_WEBSOCKET_FRAME = 113,             // one complete data message; event data is a WebSocketMessage*
  EV_WEBSOCKET_CONTROL_FRAME = 114,     // a ping, pong or close arrived (already answered); a WebSocketMessage*
};

// Frame opcodes a handler may send.
enum Opcode : int { OP_CONTINUATION = 0, OP_TEXT = 1, OP_BINARY = 2, OP_CLOSE = 8, OP_PING = 9, OP_PONG = 10 };

// One complete data message: unmasked, fragments joined, not NUL-terminated.
// Valid only during the handler call.
struct WebSocketMessage {
  unsigned char* data;
  std::size_t size;
  unsigned char flags;  // 0x80 (FIN) | opcode of the first fragment
};

// An upgrade request the Origin list let through, before anything is answered. The handler may
// refuse it: it then gets the same 403 as an Origin not listed, and the connection closes.
// Valid only during the handler call.
struct UpgradeRequest {
  std::string_view origin;  // the Origin header, empty when absent
  sockaddr_storage peer{};  // the connection's two ends, as getpeername() and getsockname() give them,
  sockaddr_storage local{}; // for a request with an Origin; else (or where the kernel would not say) AF_UNSPEC
  bool refuse = false;      // set by the handler
};

using Handler = void (*)(Connection* connection, int event, void* event_data);

// Queues one unfragmented, unmasked frame on the connection; the loop writes it after the handler
// returns. Frames leave in the order they were queued. Safe to call only on the loop's thread.
// An OP_CLOSE frame queued so is the connection's last, as with closeWebSocket.
void sendWebSocketFrame(Connection* connection, int opcode, const void* data, std::size_t length);

// Queues the close frame with this status and reason, the connection's last: nothing is taken or
// sent after it, and the connection closes once it has gone out. Loop thread, in a handler call.
void closeWebSocket(Connection* connection, std::uint16_t status, std::string_view reason);

}  // namespace net
