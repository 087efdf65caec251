// SPDX-License-Identifier: MIT
// The few WebSocket bytes both bench tools need: the handshake key and answer, frame encoding and
// the decoding of a frame header. Pure functions, no sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// base64(SHA-1(key + the protocol's fixed GUID)), the Sec-WebSocket-Accept value for key.
std::string acceptKey(std::string_view key);

// A fresh Sec-WebSocket-Key: base64 of 16 random bytes.
std::string randomKey();

// A GET request head asking to upgrade, carrying key.
std::string upgradeRequest(std::string_view key);

// One FIN text frame; masked with maskKey when masked is set (client to server).
std::string textFrame(std::string_view payload, bool masked, std::uint32_t maskKey = 0);

struct FrameHeader {
  bool fin = false;
  int opcode = 0;
  bool masked = false;
  std::uint64_t payloadLength = 0;
  std::size_t headerLength = 0;  // bytes before the payload, mask key included
};

// Decodes the header at the start of data; false while fewer bytes than the header are available.
bool parseFrameHeader(const unsigned char* data, std::size_t available, FrameHeader& header);

}  // namespace bench
