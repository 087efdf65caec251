// SPDX-License-Identifier: MIT
// The WebSocket upgrade answer. Only this file calls Mbed TLS in net/.
#include "net/handshake.h"

#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>

namespace net {
namespace {
constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
}

std::string acceptValue(std::string_view key) {
  std::string input;
  input.reserve(key.size() + kGuid.size());
  input.append(key).append(kGuid);
  unsigned char digest[20];
  mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  unsigned char text[32];  // 28 characters and the NUL that base64_encode always writes
  std::size_t written = 0;
  mbedtls_base64_encode(text, sizeof text, &written, digest, sizeof digest);
  return std::string(reinterpret_cast<const char*>(text), written);
}

void appendHandshakeResponse(std::string& out, std::string_view key, std::string_view protocol) {
  out.append("HTTP/1.1 101 Switching Protocols\r\n"
             "Upgrade: websocket\r\n"
             "Connection: Upgrade\r\n");
  if (!protocol.empty()) out.append("Sec-WebSocket-Protocol: ").append(protocol).append("\r\n");
  out.append("Sec-WebSocket-Accept: ").append(acceptValue(key)).append("\r\n\r\n");
}

}  // namespace net
