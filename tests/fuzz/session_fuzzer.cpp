// SPDX-License-Identifier: MIT
// Fuzzes the session as a connection drives it: a random byte stream (after an upgrade request,
// or not) in random splits, with random output room, message budgets, limits and holds.
// Its invariants: it never uses more than it was given, its phase only moves forward, everything
// it sends after the upgrade answer is a well-formed server frame, nothing follows the last frame,
// and the whole stream gives the same events and output however it is split. A third run adds the
// clock: idle pings and the message and pong timeouts between the pieces, and the input behind a
// hold looked over, with the same rules for what goes out.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/event.h"
#include "net/session.h"
#include "net/ws_frame.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr char kUpgrade[] =
    "GET / HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://a\r\n\r\n";

// A session driven as the shell drives it: bytes fed, events pulled one at a time, each message
// echoed by the "handler", which holds the connection after some; the pull stops before a message
// once the room or the budget is used, or while held.
struct Run {
  Run(const net::ServerOptions& options, bool holdSome) : session(options), holdSome(holdSome) {}

  void onEvent(int event, void* data) {
    events.push_back(std::to_string(event));
    if (event != net::EV_WEBSOCKET_FRAME) return;
    const auto* message = static_cast<net::WebSocketMessage*>(data);
    events.back().append(reinterpret_cast<const char*>(message->data), message->size);
    session.appendFrame(out, net::OP_TEXT, message->data, message->size);
    if (holdSome && message->size % 2 == 1) held = true;
  }

  // Offers `input` (kept like a shell's carried bytes) with the given room and budget. With
  // `lookAhead`, what waits behind a hold is looked over before the answer comes.
  void offer(std::size_t room, std::size_t messages, bool lookAhead = false, bool answerClose = false) {
    const net::Session::Phase before = session.phase();
    const std::size_t outBefore = out.size();
    session.receive(reinterpret_cast<unsigned char*>(input.data()), input.size());
    std::size_t taken = 0;
    for (;;) {
      if (session.phase() != net::Session::Phase::upgrading &&
          (held || out.size() - outBefore >= room || taken >= messages)) {
        break;
      }
      const net::Session::Pulled pulled = session.next(out);
      check(session.phase() >= before);
      if (pulled.event == 0) break;
      if (pulled.event == net::EV_WEBSOCKET_FRAME) ++taken;
      onEvent(pulled.event, pulled.data);
    }
    check(session.used() <= input.size());
    check(session.phase() != net::Session::Phase::upgrading);  // the answer follows its request
    if (before >= net::Session::Phase::closing) check(session.used() == 0 && out.size() == outBefore);
    session.takeRefusal();
    input.erase(0, session.used());
    if (held && lookAhead && !input.empty()) {
      const net::Session::Phase beforeLook = session.phase();
      session.receive(reinterpret_cast<unsigned char*>(input.data()), input.size());
      session.lookAhead(out, answerClose);
      check(session.phase() >= beforeLook && session.used() == 0);
    }
    held = false;  // answered at once, before the next offer
  }

  net::Session session;
  bool holdSome;
  bool held = false;
  std::string input;
  std::string out;
  std::vector<std::string> events;
};

// Everything after the 101 (or everything, without one) must be whole server frames, the close
// (if any) last.
void checkFrames(const std::string& out, bool pings = false) {
  std::size_t pos = 0;
  if (out.rfind("HTTP/1.1 ", 0) == 0) pos = out.find("\r\n\r\n") + 4;
  bool closed = false;
  while (pos < out.size()) {
    check(!closed);
    net::Frame frame;
    const auto* data = reinterpret_cast<const unsigned char*>(out.data()) + pos;
    check(net::decodeFrame(data, out.size() - pos, false, frame) == net::FrameVerdict::done);
    check(frame.fin && !frame.masked);
    check(frame.opcode == net::OP_TEXT || frame.opcode == net::OP_CLOSE || frame.opcode == net::OP_PONG ||
          (pings && frame.opcode == net::OP_PING));
    closed = frame.opcode == net::OP_CLOSE;
    pos += frame.headerLength + static_cast<std::size_t>(frame.payloadLength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  net::ServerOptions options;
  if (provider.ConsumeBool()) options.maxMessageBytes = provider.ConsumeIntegralInRange<std::uint64_t>(0, 300);
  if (provider.ConsumeBool()) options.allowedOrigins = {"http://a"};
  const bool upgrade = provider.ConsumeBool();
  const bool holdSome = provider.ConsumeBool();
  std::vector<std::size_t> cuts;
  for (int i = provider.ConsumeIntegralInRange(0, 8); i > 0; --i) cuts.push_back(provider.ConsumeIntegral<std::uint16_t>());
  const std::size_t room = provider.ConsumeIntegralInRange<std::size_t>(0, 512);
  const std::size_t budget = provider.ConsumeIntegralInRange<std::size_t>(1, 4);
  const auto timeout = provider.ConsumeIntegralInRange<std::int64_t>(1, 3);
  const auto ticks = provider.ConsumeIntegral<std::uint8_t>();  // a bit each: tick, then ping or not
  const bool answerClose = provider.ConsumeBool();  // held since the upgrade: a Close behind ends it
  std::string stream = upgrade ? kUpgrade : "";
  stream += provider.ConsumeRemainingBytesAsString();

  // Whole, with no stop: the reference.
  Run whole(options, false);
  whole.input = stream;
  whole.offer(SIZE_MAX, SIZE_MAX);
  checkFrames(whole.out);

  // Split, with stops: offered again after each stop, as the shell does when the stop goes.
  Run split(options, holdSome);
  std::size_t fed = 0;
  for (std::size_t cut : cuts) {
    const std::size_t next = std::min(stream.size(), fed + cut);
    split.input.append(stream, fed, next - fed);
    fed = next;
    split.offer(room, budget);
  }
  split.input.append(stream, fed, std::string::npos);
  for (std::size_t rounds = 0; rounds <= stream.size() + 1; ++rounds) {
    const std::size_t before = split.input.size();
    split.offer(room, budget);
    // No room at all: the shell would have written its output by the next offer.
    if (split.input.size() == before) split.offer(SIZE_MAX, SIZE_MAX);
    if (split.input.size() == before) break;  // an incomplete head or frame, or the end
  }
  checkFrames(split.out);
  check(split.events == whole.events);
  check(split.out == whole.out);

  // Timed: a second passes before each piece; every second the tick may expire or ping.
  net::ServerOptions timedOptions = options;
  timedOptions.messageTimeout = std::chrono::seconds(timeout);
  timedOptions.pongTimeout = std::chrono::seconds(timeout);
  Run timed(timedOptions, holdSome);
  std::int64_t now = 0;
  fed = 0;
  bool closeNow = false;
  for (std::size_t i = 0; i <= cuts.size() && !closeNow; ++i) {
    const std::size_t next = i < cuts.size() ? std::min(stream.size(), fed + cuts[i]) : stream.size();
    timed.input.append(stream, fed, next - fed);
    fed = next;
    timed.session.arrivedAt(now);
    timed.offer(room, budget, true, answerClose);
    for (int second = 0; second < 2 && !closeNow; ++second) {
      ++now;
      const net::Session::Phase before = timed.session.phase();
      const net::Session::Expiry verdict = timed.session.expire(now, timed.out);
      check(timed.session.phase() >= before);
      closeNow = verdict == net::Session::Expiry::closeNow;
      if (verdict == net::Session::Expiry::closeAfterFlush) {
        check(timed.session.phase() == net::Session::Phase::closing && timed.session.takeRefusal().has_value());
      }
      const bool open = timed.session.phase() == net::Session::Phase::open;  // the shell pings only then
      if (open && verdict == net::Session::Expiry::none && ((ticks >> (i % 8)) & 1)) timed.session.ping(timed.out, now);
    }
  }
  checkFrames(timed.out, true);
  return 0;
}
