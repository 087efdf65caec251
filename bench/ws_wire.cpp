// SPDX-License-Identifier: MIT
// Handshake key, frame encoding and header decoding for the bench tools.
#include "bench/ws_wire.h"

#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>

#include <random>

namespace bench {

std::string acceptKey(std::string_view key) {
  const std::string text = std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[20];
  mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[32];
  std::size_t written = 0;
  mbedtls_base64_encode(encoded, sizeof encoded, &written, digest, sizeof digest);
  return std::string(reinterpret_cast<const char*>(encoded), written);
}

std::string randomKey() {
  static std::mt19937_64 generator{std::random_device{}()};
  unsigned char raw[16];
  for (int i = 0; i < 16; i += 8) {
    const std::uint64_t word = generator();
    for (int j = 0; j < 8; ++j) raw[i + j] = static_cast<unsigned char>(word >> (8 * j));
  }
  unsigned char encoded[32];
  std::size_t written = 0;
  mbedtls_base64_encode(encoded, sizeof encoded, &written, raw, sizeof raw);
  return std::string(reinterpret_cast<const char*>(encoded), written);
}

std::string upgradeRequest(std::string_view key) {
  std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
  request += "Sec-WebSocket-Key: ";
  request += key;
  request += "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  return request;
}

std::string textFrame(std::string_view payload, bool masked, std::uint32_t maskKey) {
  std::string frame;
  frame.reserve(payload.size() + 14);
  frame.push_back(static_cast<char>(0x81));
  const unsigned char maskBit = masked ? 0x80 : 0x00;
  const std::uint64_t n = payload.size();
  if (n < 126) {
    frame.push_back(static_cast<char>(maskBit | n));
  } else if (n < 65536) {  // the shortest form, as RFC 6455 asks (the server's own differs at 65535)
    frame.push_back(static_cast<char>(maskBit | 126));
    frame.push_back(static_cast<char>(n >> 8));
    frame.push_back(static_cast<char>(n));
  } else {
    frame.push_back(static_cast<char>(maskBit | 127));
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(n >> shift));
  }
  if (!masked) {
    frame.append(payload);
    return frame;
  }
  const unsigned char mask[4] = {static_cast<unsigned char>(maskKey >> 24), static_cast<unsigned char>(maskKey >> 16),
                                 static_cast<unsigned char>(maskKey >> 8), static_cast<unsigned char>(maskKey)};
  frame.append(reinterpret_cast<const char*>(mask), 4);
  const std::size_t start = frame.size();
  frame.append(payload);
  for (std::size_t i = 0; i < payload.size(); ++i) frame[start + i] = static_cast<char>(frame[start + i] ^ mask[i & 3]);
  return frame;
}

bool parseFrameHeader(const unsigned char* data, std::size_t available, FrameHeader& header) {
  if (available < 2) return false;
  header.fin = (data[0] & 0x80) != 0;
  header.opcode = data[0] & 0x0F;
  header.masked = (data[1] & 0x80) != 0;
  std::size_t need = 2;
  std::uint64_t length = data[1] & 0x7F;
  if (length == 126) {
    need += 2;
  } else if (length == 127) {
    need += 8;
  }
  if (header.masked) need += 4;
  if (available < need) return false;
  if (length == 126) {
    length = (std::uint64_t{data[2]} << 8) | data[3];
  } else if (length == 127) {
    length = 0;
    for (int i = 0; i < 8; ++i) length = (length << 8) | data[2 + i];
  }
  header.payloadLength = length;
  header.headerLength = need;
  return true;
}

}  // namespace bench
