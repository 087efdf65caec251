// SPDX-License-Identifier: MIT
// The frame decoder and encoder as pure functions: a table of byte strings against the verdict,
// header fields and close text, each input against a guard page; the length forms of the encoder.
#include "net/ws_frame.h"
#include "net/event.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"

namespace {

using net::decodeFrame;
using net::Frame;
using net::FrameVerdict;

// "81 05" -> the two bytes, followed by `tail` as is.
std::string bytes(const std::string& hex, const std::string& tail = "") {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out + tail;
}

struct FrameCase {
  std::string name;
  std::string input;
  bool fragmentOpen;
  FrameVerdict verdict;
  bool fin = false;
  unsigned opcode = 0;
  std::size_t headerLength = 0;
  std::uint64_t payloadLength = 0;
  const char* error = nullptr;
};

const char* const kControl = net::kFragmentedControl;
const char* const kNonCont = net::kNonContinuation;
const char* const kOverflow = net::kOverflowed;

std::vector<FrameCase> frameCases() {
  return {
      {"nothing yet", "", false, FrameVerdict::needMore},
      {"one byte", bytes("81"), false, FrameVerdict::needMore},
      {"empty text", bytes("81 00"), false, FrameVerdict::done, true, 1, 2, 0},
      {"unmasked text", bytes("81 05", "hello"), false, FrameVerdict::done, true, 1, 2, 5},
      {"masked text", bytes("81 85 37 fa 21 3d 5f 9f 4d 51 58"), false, FrameVerdict::done, true, 1, 6, 5},
      {"mask key incomplete", bytes("81 85 37 fa"), false, FrameVerdict::needMore},
      {"payload incomplete: header known", bytes("81 05", "hel"), false, FrameVerdict::needMore, true, 1, 2, 5},
      {"16-bit length", bytes("82 7e 00 7e", std::string(126, 'x')), false, FrameVerdict::done, true, 2, 4, 126},
      {"16-bit length incomplete", bytes("82 7e 00"), false, FrameVerdict::needMore},
      {"64-bit length, not minimal", bytes("81 7f 00 00 00 00 00 00 00 05", "hello"), false, FrameVerdict::done,
       true, 1, 10, 5},
      {"64-bit masked header incomplete", bytes("81 ff 00 00 00 00 00 00 00 05 01 02 03"), false,
       FrameVerdict::needMore},
      {"RSV bits ignored", bytes("f1 00"), false, FrameVerdict::done, true, 1, 2, 0},
      {"reserved data opcode", bytes("83 00"), false, FrameVerdict::done, true, 3, 2, 0},
      {"reserved control opcode", bytes("8b 00"), false, FrameVerdict::done, true, 11, 2, 0},
      {"first fragment", bytes("01 01 61"), false, FrameVerdict::done, false, 1, 2, 1},
      {"continuation", bytes("00 01 62"), true, FrameVerdict::done, false, 0, 2, 1},
      {"last continuation", bytes("80 01 63"), true, FrameVerdict::done, true, 0, 2, 1},
      {"ping between fragments", bytes("89 00"), true, FrameVerdict::done, true, 9, 2, 0},
      {"close between fragments", bytes("88 00"), true, FrameVerdict::done, true, 8, 2, 0},
      {"largest length that fits", bytes("81 7f ff ff ff ff ff ff ff f5"), false, FrameVerdict::needMore, true, 1,
       10, 0xFFFFFFFFFFFFFFF5u},
      {"length overflows with the header", bytes("81 7f ff ff ff ff ff ff ff f6"), false,
       FrameVerdict::protocolError, true, 1, 10, 0xFFFFFFFFFFFFFFF6u, kOverflow},
      {"ping without FIN", bytes("09 00"), false, FrameVerdict::protocolError, false, 9, 2, 0, kControl},
      {"close without FIN", bytes("08 00"), false, FrameVerdict::protocolError, false, 8, 2, 0, kControl},
      {"pong without FIN, payload not yet here", bytes("0a 7e 01 00"), false, FrameVerdict::protocolError, false,
       10, 4, 256, kControl},
      {"text with FIN inside a message", bytes("81 00"), true, FrameVerdict::protocolError, true, 1, 2, 0, kNonCont},
      {"binary without FIN inside a message", bytes("02 00"), true, FrameVerdict::protocolError, false, 2, 2, 0,
       kNonCont},
      {"reserved control inside a message", bytes("8b 00"), true, FrameVerdict::protocolError, true, 11, 2, 0,
       kNonCont},
      {"stray last continuation", bytes("80 00"), false, FrameVerdict::protocolError, true, 0, 2, 0, kNonCont},
      {"stray continuation, payload not yet here", bytes("00 05"), false, FrameVerdict::protocolError, false, 0, 2,
       5, kNonCont},
  };
}

TEST(WsFrame, DecodeTable) {
  for (const FrameCase& c : frameCases()) {
    SCOPED_TRACE(c.name);
    const testsupport::GuardedBuffer input(c.input);
    Frame frame;
    frame.error = "stale";
    frame.headerLength = 99;
    ASSERT_EQ(decodeFrame(input.data(), input.size(), c.fragmentOpen, frame), c.verdict);
    EXPECT_EQ(frame.headerLength, c.headerLength);
    if (c.headerLength == 0) continue;
    EXPECT_EQ(frame.fin, c.fin);
    EXPECT_EQ(frame.opcode, c.opcode);
    EXPECT_EQ(frame.payloadLength, c.payloadLength);
    if (c.error) EXPECT_STREQ(frame.error, c.error);
    else EXPECT_EQ(frame.error, nullptr);
  }
}

// Every prefix of a complete frame is "need more", never a wrong frame.
TEST(WsFrame, EveryPrefixNeedsMore) {
  for (const FrameCase& c : frameCases()) {
    if (c.verdict != FrameVerdict::done) continue;
    SCOPED_TRACE(c.name);
    for (std::size_t n = 0; n < c.input.size(); ++n) {
      const testsupport::GuardedBuffer prefix(std::string_view(c.input).substr(0, n));
      Frame frame;
      EXPECT_EQ(decodeFrame(prefix.data(), n, c.fragmentOpen, frame), FrameVerdict::needMore) << n;
    }
  }
}

TEST(WsFrame, EncodeLengthForms) {
  struct Case {
    const char* name;
    std::uint64_t length;
    std::string header;
  };
  const Case cases[] = {
      {"empty", 0, bytes("81 00")},
      {"largest 7-bit", 125, bytes("81 7d")},
      {"smallest 16-bit", 126, bytes("81 7e 00 7e")},
      {"largest 16-bit", 65534, bytes("81 7e ff fe")},
      {"65535 takes the 64-bit form", 65535, bytes("81 7f 00 00 00 00 00 00 ff ff")},
      {"16 MiB", 1u << 24, bytes("81 7f 00 00 00 00 01 00 00 00")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char out[net::kMaxFrameHeader];
    const std::size_t n = net::encodeFrameHeader(out, net::OP_TEXT, c.length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.header);
  }
}

// Unmasking in two pieces (offset carried) equals unmasking at once, at odd lengths and offsets.
TEST(WsFrame, UnmaskInPieces) {
  const unsigned char mask[4] = {0x37, 0xFA, 0x21, 0x3D};
  std::string plain;
  for (int i = 0; i < 103; ++i) plain.push_back(static_cast<char>(i * 7));
  std::string masked = plain;
  for (std::size_t i = 0; i < masked.size(); ++i) masked[i] ^= static_cast<char>(mask[i & 3]);
  for (std::size_t split : {0u, 1u, 3u, 8u, 13u, 103u}) {
    SCOPED_TRACE(split);
    std::string data = masked;
    auto* p = reinterpret_cast<unsigned char*>(data.data());
    net::unmaskPayload(p, split, mask, 0);
    net::unmaskPayload(p + split, data.size() - split, mask, split);
    EXPECT_EQ(data, plain);
  }
}

}  // namespace
