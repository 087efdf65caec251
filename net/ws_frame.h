// SPDX-License-Identifier: MIT
// WebSocket frame decoding and encoding as pure functions: no sockets, no allocation, no state
// beyond what the caller passes in, so tables and fuzzers reach every branch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace net {

enum class FrameVerdict {
  done,           // a whole frame (header and payload) is in the buffer
  needMore,       // the frame is incomplete; headerLength != 0 once its header is complete
  protocolError,  // the connection must be closed after a close frame carrying `error`
};

struct Frame {
  bool fin;
  unsigned opcode;              // low four bits of the first byte
  bool masked;
  unsigned char mask[4];
  std::size_t headerLength;     // 0 until the header is complete
  std::uint64_t payloadLength;
  const char* error;            // the close text on protocolError, else nullptr
};

// Longest header: 2 bytes, 8 length bytes, 4 mask bytes.
inline constexpr std::size_t kMaxFrameHeader = 14;

// Close texts of the protocol errors; the peer sees them as the close payload, no status code.
inline constexpr char kFragmentedControl[] = "fragmented control frames are illegal";
inline constexpr char kNonContinuation[] = "non-continuation in the middle of a fragmented message";
inline constexpr char kOverflowed[] = "overflowed message";
// The close payload for a message over the operator's size limit: status 1009, then its reason.
inline constexpr char kMessageTooBig[] = "\x03\xF1" "message too big";

// Decodes the frame at the start of data[0, size). `fragmentOpen` says whether a fragmented data
// message is waiting for its continuation frames. All fields of `out` are reset on entry. The
// fragmentation errors are reported as soon as the header is known, before the payload arrives.
FrameVerdict decodeFrame(const unsigned char* data, std::size_t size, bool fragmentOpen, Frame& out);

// Removes the mask in place; `offset` is the position of data[0] within the frame's payload.
void unmaskPayload(unsigned char* data, std::size_t size, const unsigned char mask[4],
                   std::uint64_t offset = 0);

// Writes the header of an unfragmented, unmasked frame into out and returns its length (2, 4 or
// 10). The length takes the 7-bit form below 126, the 16-bit form below 65535, else the 64-bit one
// (ws_frame.cpp says why 65535 itself takes the 64-bit form).
std::size_t encodeFrameHeader(unsigned char out[kMaxFrameHeader], unsigned opcode,
                              std::uint64_t length);

}  // namespace net
