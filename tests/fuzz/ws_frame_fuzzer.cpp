// SPDX-License-Identifier: MIT
// Fuzzes the frame decoder the way a connection drives it: the stream is fed in random splits,
// and what comes out (frames, payloads, the error) must equal decoding the whole stream at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/ws_frame.h"

namespace {

struct Outcome {
  std::vector<std::string> frames;  // opcode, FIN and unmasked payload of each frame
  const char* error = nullptr;
  bool operator==(const Outcome& other) const {
    return frames == other.frames && error == other.error;
  }
};

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Decodes every complete frame at the start of `buffer`, erasing what it used, as the connection
// does with its carried-over bytes. Returns false once a protocol error ended the stream.
bool drain(std::string& buffer, bool& fragmentOpen, Outcome& out) {
  std::size_t pos = 0;
  for (;;) {
    auto* data = reinterpret_cast<unsigned char*>(buffer.data()) + pos;
    const std::size_t size = buffer.size() - pos;
    net::Frame frame;
    const net::FrameVerdict verdict = net::decodeFrame(data, size, fragmentOpen, frame);
    if (verdict == net::FrameVerdict::needMore) {
      check(frame.headerLength <= size && frame.error == nullptr);
      break;
    }
    if (verdict == net::FrameVerdict::protocolError) {
      check(frame.error != nullptr);
      out.error = frame.error;
      return false;
    }
    check(frame.headerLength + frame.payloadLength <= size);
    const auto length = static_cast<std::size_t>(frame.payloadLength);
    if (frame.masked) net::unmaskPayload(data + frame.headerLength, length, frame.mask);
    std::string record(1, static_cast<char>(frame.opcode | (frame.fin ? 0x80 : 0)));
    record.append(reinterpret_cast<const char*>(data + frame.headerLength), length);
    out.frames.push_back(record);
    if (frame.opcode < 8) fragmentOpen = !frame.fin;

    // The encoder's header for this length must decode back to the same length and opcode.
    unsigned char header[net::kMaxFrameHeader + 1];
    const std::size_t n = net::encodeFrameHeader(header, frame.opcode, frame.payloadLength);
    net::Frame again;
    net::decodeFrame(header, n, frame.opcode == 0, again);
    check(again.headerLength == n && again.payloadLength == frame.payloadLength && again.opcode == frame.opcode);
    pos += frame.headerLength + length;
  }
  buffer.erase(0, pos);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::uint32_t seed = data[0] | (std::uint32_t{data[1]} << 8);
  const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);

  Outcome whole;
  {
    std::string buffer = stream;
    bool fragmentOpen = false;
    drain(buffer, fragmentOpen, whole);
  }

  Outcome pieces;
  std::string buffer;
  bool fragmentOpen = false;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t chunk = 1 + (seed >> 16) % 17;
    buffer.append(stream, pos, chunk);
    pos += chunk;
    if (!drain(buffer, fragmentOpen, pieces)) break;
  }
  check(whole == pieces);
  return 0;
}
