// SPDX-License-Identifier: MIT
// The session without a socket: bytes in, bytes and events out, by tables. What the socket tests
// can reach only slowly or not at all (every split of the input, the output room, the message
// budget, input held for an answer) is driven here directly.
#include "net/http_head.h"
#include "net/session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/event.h"
#include "tests/net/test_handlers.h"
#include "tests/support/ws_client.h"

namespace {

using net::Session;
using nettest::echoed;
using nettest::serverFrame;
using testsupport::frame;
using testsupport::RawClient;
using testsupport::textFrame;

constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();

std::string closeFrame(std::string_view payload) {
  return serverFrame(0x88, std::string(1, static_cast<char>(payload.size())), payload);
}

// What the harness's pull ended with, as a shell reads it: the input used, what the shell does
// next, and the data messages handed to the handler.
enum class Next { readMore, hold, closeAfterFlush, closeNow };
struct Result {
  std::size_t used;
  Next next;
  std::size_t messages;
};

// A session driven as a shell drives it, with a recording, echoing handler: it feeds the input
// and pulls the events one at a time, stopping before a message once `room` output bytes were
// appended, once `messages` data messages were handed over, or while the handler holds (`held`).
// What was not taken is offered again, in front of what arrives next; while held, the session
// looks over it.
class Harness {
 public:
  explicit Harness(net::ServerOptions options = {}) : options_(std::move(options)) {
    session = std::make_unique<Session>(options_);
  }

  Result feed(std::string_view bytes, std::size_t room = kAny, std::size_t messages = kAny) {
    pending_.append(bytes);
    session->arrivedAt(now);
    session->receive(reinterpret_cast<unsigned char*>(pending_.data()), pending_.size());
    const std::size_t start = out.size();
    Result result{0, Next::readMore, 0};
    for (;;) {
      if (session->phase() != Session::Phase::upgrading &&
          (held || out.size() - start >= room || result.messages >= messages)) {
        result.next = Next::hold;
        break;
      }
      const Session::Pulled pulled = session->next(out);
      if (pulled.event == 0) break;
      if (pulled.event == net::EV_WEBSOCKET_FRAME) ++result.messages;
      onEvent(pulled.event, pulled.data);
    }
    if (session->phase() == Session::Phase::closing) result.next = Next::closeAfterFlush;
    else if (session->phase() == Session::Phase::closed) result.next = Next::closeNow;
    result.used = session->used();
    EXPECT_LE(result.used, pending_.size());
    noteRefusal();
    pending_.erase(0, result.used);
    if (held && !pending_.empty()) {
      session->receive(reinterpret_cast<unsigned char*>(pending_.data()), pending_.size());
      session->lookAhead(out, answerCloseWhileHeld);
    }
    return result;
  }
  Session::Expiry expire(std::int64_t second) {
    const Session::Expiry expiry = session->expire(second, out);
    noteRefusal();
    return expiry;
  }
  // The 101 and the handshake events, taken out of `out` and `events`.
  void upgrade() {
    const Result result = feed(RawClient::upgradeRequest());
    ASSERT_EQ(result.next, Next::readMore);
    ASSERT_EQ(session->phase(), Session::Phase::open);
    out.clear();
    events.clear();
  }
  // The hold's answer: the pulls go on from the next feed.
  void answer() { held = false; }
  std::size_t pending() const { return pending_.size(); }

  std::unique_ptr<Session> session;
  std::string out;
  std::vector<std::string> events;  // "frame:<payload>", "control:<opcode>:<payload>", or the number
  std::vector<std::string> refusals;  // "<kind>:<origin>"
  std::int64_t now = 0;              // when what feed() hands in arrived
  bool echo = true;
  bool holdEachMessage = false;
  bool held = false;                 // the handler holds: nothing is pulled
  bool answerCloseWhileHeld = false; // held since the upgrade: a Close behind the hold ends it
  bool refuseUpgrade = false;
  std::string upgradeOrigin;  // the Origin the handler was told of at the upgrade request

 private:
  void onEvent(int event, void* data) {
    if (event == net::EV_WEBSOCKET_FRAME || event == net::EV_WEBSOCKET_CONTROL_FRAME) {
      const auto* message = static_cast<net::WebSocketMessage*>(data);
      const std::string payload(reinterpret_cast<const char*>(message->data), message->size);
      if (event == net::EV_WEBSOCKET_CONTROL_FRAME) {
        events.push_back("control:" + std::to_string(message->flags & 0x0F) + ":" + payload);
        return;
      }
      events.push_back("frame:" + payload);
      if (echo) session->appendFrame(out, net::OP_TEXT, payload.data(), payload.size());
      if (holdEachMessage) held = true;
      return;
    }
    if (event == net::EV_WEBSOCKET_HANDSHAKE_REQUEST) {
      auto* request = static_cast<net::UpgradeRequest*>(data);
      upgradeOrigin = std::string(request->origin);
      request->refuse = refuseUpgrade;
    }
    events.push_back(std::to_string(event));
  }
  void noteRefusal() {
    if (const auto refused = session->takeRefusal()) {
      refusals.push_back(std::to_string(static_cast<int>(refused->kind)) + ":" + std::string(refused->origin));
    }
  }

  const net::ServerOptions options_;
  std::string pending_;
};

net::ServerOptions sizeLimit(std::uint64_t bytes) {
  net::ServerOptions options;
  options.maxMessageBytes = bytes;
  return options;
}

struct ErrorCase {
  const char* name;
  std::string input;
  std::string closePayload;
};

// Every way a peer breaks the protocol, with the exact close frame it gets and nothing after it.
TEST(Session, ProtocolErrorsCloseWithTheirText) {
  const std::string overflowing("\x81\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10);
  const ErrorCase cases[] = {
      {"fragmented ping", frame(9, "p", false), "fragmented control frames are illegal"},
      {"fragmented close", frame(8, "", false), "fragmented control frames are illegal"},
      {"text inside a fragmented message", frame(1, "a", false) + frame(1, "b"),
       "non-continuation in the middle of a fragmented message"},
      {"continuation of nothing", frame(0, "x"), "non-continuation in the middle of a fragmented message"},
      {"length beyond any buffer", overflowing, "overflowed message"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.upgrade();
    const Result result = h.feed(c.input + textFrame("after"));
    EXPECT_EQ(result.next, Next::closeAfterFlush);
    EXPECT_EQ(h.session->phase(), Session::Phase::closing);
    EXPECT_EQ(h.out, closeFrame(c.closePayload));
    EXPECT_TRUE(h.events.empty());  // not even the fragment before the error
    EXPECT_FALSE(h.session->appendFrame(h.out, net::OP_TEXT, "late", 4));  // nothing after the close
    EXPECT_EQ(h.out, closeFrame(c.closePayload));
  }
}

// A message is judged on its frame header against the limit, its fragments counted together.
TEST(Session, MessageSizeLimit) {
  struct Case {
    const char* name;
    std::string input;
    bool closed;
    std::vector<std::string> events;
  };
  const std::string tooBig = std::string("\x03\xF1", 2) + "message too big";
  const Case cases[] = {
      {"at the limit", textFrame(std::string(10, 'a')), false, {"frame:" + std::string(10, 'a')}},
      {"one over", textFrame(std::string(11, 'a')), true, {}},
      {"header alone is enough", textFrame(std::string(11, 'a')).substr(0, 6), true, {}},
      {"fragments within", frame(1, "aaaaa", false) + frame(0, "aaaaa"), false, {"frame:aaaaaaaaaa"}},
      {"fragments over together", frame(1, "aaaaa", false) + frame(0, "aaaaaa"), true, {}},
      {"ping over the limit", frame(9, std::string(11, 'p')), true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(sizeLimit(10));
    h.upgrade();
    const Result result = h.feed(c.input);
    EXPECT_EQ(result.next, c.closed ? Next::closeAfterFlush : Next::readMore);
    EXPECT_EQ(h.events, c.events);
    if (c.closed) {
      EXPECT_EQ(h.out, closeFrame(tooBig));
    }
  }
}

// The same stream cut in two at every position gives the same events and the same output.
TEST(Session, EverySplitOfTheInputGivesTheSameResult) {
  const std::string stream = RawClient::upgradeRequest("/", "Origin: http://a\r\n") + frame(1, "he", false) +
                             frame(9, "p") + frame(0, "llo") + textFrame(std::string(300, 'x')) +
                             frame(10, "") + textFrame("last");
  Harness whole;
  whole.feed(stream);
  ASSERT_EQ(whole.events.size(), 7u);  // 111, 112, pong's control, hello, 300 x, pong, last
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Harness h;
    h.feed(std::string_view(stream).substr(0, cut));
    const Result result = h.feed(std::string_view(stream).substr(cut));
    EXPECT_EQ(result.next, Next::readMore);
    EXPECT_EQ(h.pending(), 0u);
    EXPECT_EQ(h.events, whole.events);
    EXPECT_EQ(h.out, whole.out);
  }
}

// Header lines that mean nothing to the session, to push a later one past the examined lines.
std::string filler(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "X-Filler-" + std::to_string(i) + ": 1\r\n";
  return text;
}

TEST(Session, OriginDecidesTheUpgrade) {
  struct Case {
    const char* name;
    std::vector<std::string> allowed;
    bool allowMissing;
    std::string header;
    bool upgraded;
  };
  const Case cases[] = {
      {"no list: any origin", {}, true, "Origin: http://evil\r\n", true},
      {"listed", {"http://a", "http://b"}, true, "Origin: http://b\r\n", true},
      {"not listed", {"http://a"}, true, "Origin: http://b\r\n", false},
      {"case matters", {"http://a"}, true, "Origin: HTTP://A\r\n", false},
      {"missing, allowed", {"http://a"}, true, "", true},
      {"missing, refused", {"http://a"}, false, "", false},
      {"empty counts as missing", {"http://a"}, false, "Origin: \r\n", false},
      {"origin past the header cap, list set", {"http://a"}, true, filler(net::kMaxHeaders - 5) + "Origin: http://a\r\n", false},
      {"origin just within the cap", {"http://a"}, true, filler(net::kMaxHeaders - 6) + "Origin: http://a\r\n", true},
      {"origin past the cap, no list", {}, true, filler(net::kMaxHeaders) + "Origin: http://b\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::ServerOptions options;
    options.allowedOrigins = c.allowed;
    options.allowMissingOrigin = c.allowMissing;
    Harness h(options);
    const Result result = h.feed(RawClient::upgradeRequest("/", c.header) + textFrame("x"));
    if (c.upgraded) {
      EXPECT_EQ(result.next, Next::readMore);
      EXPECT_NE(h.out.find(testsupport::kSampleAccept), std::string::npos);
      EXPECT_EQ(h.events, (std::vector<std::string>{"111", "112", "frame:x"}));
    } else {
      EXPECT_EQ(result.next, Next::closeAfterFlush);
      EXPECT_EQ(h.out, testsupport::kForbiddenResponse);
      EXPECT_TRUE(h.events.empty());  // the handler never hears of a refused upgrade
      EXPECT_EQ(h.session->phase(), Session::Phase::closing);
    }
  }
}

// The handler hears the Origin before the 101 and may refuse: the same 403 as the list's, nothing after.
TEST(Session, HandlerDecidesTheUpgrade) {
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "refused" : "let in");
    Harness h;
    h.refuseUpgrade = refuse;
    const Result result = h.feed(RawClient::upgradeRequest("/", "Origin: https://site.example\r\n") + textFrame("x"));
    EXPECT_EQ(h.upgradeOrigin, "https://site.example");
    if (refuse) {
      EXPECT_EQ(result.next, Next::closeAfterFlush);
      EXPECT_EQ(h.out, testsupport::kForbiddenResponse);
      EXPECT_EQ(h.events, (std::vector<std::string>{"111"}));
      EXPECT_EQ(h.session->phase(), Session::Phase::closing);
    } else {
      EXPECT_EQ(result.next, Next::readMore);
      EXPECT_NE(h.out.find(testsupport::kSampleAccept), std::string::npos);
      EXPECT_EQ(h.events, (std::vector<std::string>{"111", "112", "frame:x"}));
    }
  }
}

TEST(Session, HeadsBeforeTheUpgrade) {
  struct Case {
    const char* name;
    std::string input;
    Next next;
    std::vector<std::string> events;
    std::vector<std::string> allowed = {};  // the Origin list
  };
  const Case cases[] = {
      {"with an Origin list a plain request is answered 426 and closed",
       "GET / HTTP/1.1\r\nOrigin: http://a\r\n\r\n" + RawClient::upgradeRequest(), Next::closeAfterFlush,
       {}, {"http://a"}},
      {"not HTTP: closed at once", "\x16\x03\x01 hello", Next::closeNow, {}},
      {"plain request, then the upgrade",
       "GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc" + RawClient::upgradeRequest(), Next::readMore,
       {"100", "111", "112"}},
      {"incomplete head", "GET / HTTP/1.1\r\nHost: x\r\n", Next::readMore, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::ServerOptions options;
    options.allowedOrigins = c.allowed;
    Harness h(options);
    EXPECT_EQ(h.feed(c.input).next, c.next);
    EXPECT_EQ(h.events, c.events);
    if (c.next == Next::closeAfterFlush) {
      EXPECT_EQ(h.out, net::kUpgradeRequired);
    }
    if (c.next == Next::closeNow) {
      EXPECT_EQ(h.out, "");
      EXPECT_EQ(h.session->phase(), Session::Phase::closed);
    }
  }
}

// The peer's close is echoed with its status and reason; ours carries the status we give.
TEST(Session, CloseHandshake) {
  Harness h;
  h.upgrade();
  const std::string peerClose = std::string("\x03\xE8", 2) + "bye";
  const Result result = h.feed(frame(8, peerClose) + textFrame("ignored"));
  EXPECT_EQ(result.next, Next::closeAfterFlush);
  EXPECT_EQ(h.out, closeFrame(peerClose));
  EXPECT_EQ(h.events, std::vector<std::string>{"control:8:" + peerClose});
  EXPECT_EQ(h.feed(textFrame("more")).used, 0u);  // nothing is taken once closing

  Harness ours;
  ours.upgrade();
  ours.session->closeWith(ours.out, 1001, "going away");
  EXPECT_EQ(ours.out, closeFrame(std::string("\x03\xE9", 2) + "going away"));
  EXPECT_EQ(ours.session->phase(), Session::Phase::closing);
  ours.session->closeWith(ours.out, 1000, "twice");  // the first close is the last frame
  EXPECT_EQ(ours.out, closeFrame(std::string("\x03\xE9", 2) + "going away"));
  ours.session->finish();
  EXPECT_EQ(ours.session->phase(), Session::Phase::closed);
}

// Before each message the session checks the output room, the message budget and an awaited
// answer; it stops at the boundary and takes the rest when offered again.
TEST(Session, StopsAtMessageBoundaries) {
  const std::string three = textFrame("one") + textFrame("two") + textFrame("three");
  struct Case {
    const char* name;
    std::size_t room;
    std::size_t messages;
    bool holdEach;
    std::vector<std::string> firstEvents;
  };
  const Case cases[] = {
      {"room used by the first reply", 5, kAny, false, {"frame:one"}},
      {"room for two replies", 6, kAny, false, {"frame:one", "frame:two"}},
      {"budget of two messages", kAny, 2, false, {"frame:one", "frame:two"}},
      {"an answer awaited", kAny, kAny, true, {"frame:one"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.upgrade();
    h.holdEachMessage = c.holdEach;
    const Result first = h.feed(three, c.room, c.messages);
    EXPECT_EQ(first.next, Next::hold);
    EXPECT_EQ(first.messages, c.firstEvents.size());
    EXPECT_EQ(h.events, c.firstEvents);
    EXPECT_EQ(h.pending(), three.size() - first.used);
    // While held, more input only waits behind what is held.
    if (c.holdEach) {
      EXPECT_EQ(h.feed(textFrame("four")).used, 0u);
      EXPECT_TRUE(h.held);
      h.holdEachMessage = false;
      h.answer();
    }
    const Result rest = h.feed("");
    EXPECT_EQ(rest.next, Next::readMore);
    EXPECT_EQ(h.pending(), 0u);
    std::vector<std::string> all{"frame:one", "frame:two", "frame:three"};
    if (c.holdEach) all.push_back("frame:four");
    EXPECT_EQ(h.events, all);
    std::string replies;
    for (const std::string& e : all) replies += echoed(e.substr(6));
    EXPECT_EQ(h.out, replies);
  }
}

// An answer awaited after the upgrade holds even the first message; the idle ping still goes.
TEST(Session, HoldFromTheHandshakeHoldsEveryMessage) {
  Harness h;
  h.holdEachMessage = true;
  h.feed(RawClient::upgradeRequest());
  h.held = true;
  h.out.clear();
  const Result result = h.feed(textFrame("a") + frame(9, "p"));
  EXPECT_EQ(result.used, 0u);
  EXPECT_EQ(result.next, Next::hold);
  EXPECT_TRUE(h.session->appendFrame(h.out, net::OP_PING, nullptr, 0));
  EXPECT_EQ(h.out, std::string("\x89\x00", 2));
}

// What the session turns away it reports for the operator's summary, with the refused Origin.
TEST(Session, ReportsWhatItRefuses) {
  using net::Refusal;
  const auto kind = [](Refusal r) { return std::to_string(static_cast<int>(r)) + ":"; };
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> refusals;
  } cases[] = {
      {"Origin not listed", RawClient::upgradeRequest("/", "Origin: http://b\r\n"), {kind(Refusal::forbidden) + "http://b"}},
      {"no Origin, none allowed", RawClient::upgradeRequest(), {kind(Refusal::forbidden)}},
      {"plain request", "GET / HTTP/1.1\r\nOrigin: http://c\r\n\r\n", {kind(Refusal::upgradeRequired) + "http://c"}},
      {"not HTTP", "\x16\x03\x01 hello", {kind(Refusal::notHttp)}},
      {"listed Origin", RawClient::upgradeRequest("/", "Origin: http://a\r\n"), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    net::ServerOptions options;
    options.allowedOrigins = {"http://a"};
    options.allowMissingOrigin = false;
    Harness h(options);
    h.feed(c.input);
    EXPECT_EQ(h.refusals, c.refusals);
  }
}

// Input arriving at given seconds, then the tick's checks: at which second the session closes.
struct TimedCase {
  const char* name;
  std::vector<std::pair<std::int64_t, std::string>> arrivals;
  std::int64_t quietUntil;  // expire() closes nothing up to this second
  bool closesAfter;         // and closes at the next one
};

void runTimed(const TimedCase& c, net::ServerOptions options, std::string_view reason, net::Refusal kind,
              const std::function<void(Harness&)>& afterArrivals = {}) {
  SCOPED_TRACE(c.name);
  Harness h(options);
  h.upgrade();
  for (const auto& [second, bytes] : c.arrivals) {
    h.now = second;
    h.feed(bytes);
  }
  if (afterArrivals) afterArrivals(h);
  const std::string before = h.out;
  for (std::int64_t second = 0; second <= c.quietUntil; ++second) {
    ASSERT_EQ(h.expire(second), Session::Expiry::none) << "at " << second;
  }
  EXPECT_EQ(h.out, before);
  EXPECT_TRUE(h.refusals.empty());
  if (!c.closesAfter) {
    EXPECT_EQ(h.expire(c.quietUntil + 1000), Session::Expiry::none);
    return;
  }
  EXPECT_EQ(h.expire(c.quietUntil + 1), Session::Expiry::closeAfterFlush);
  EXPECT_EQ(h.out, before + closeFrame(std::string("\x03\xF0", 2) + std::string(reason)));
  EXPECT_EQ(h.refusals, std::vector<std::string>{std::to_string(static_cast<int>(kind)) + ":"});
  EXPECT_EQ(h.session->phase(), Session::Phase::closing);
  // A close that has not gone out by the next tick (the peer reads nothing) is not waited for.
  EXPECT_EQ(h.expire(c.quietUntil + 2), Session::Expiry::closeNow);
}

// A message whose first byte came more than the limit ago and that is still incomplete closes the
// connection with 1008; whole messages, held input and the time before the limit do not.
TEST(Session, MessageTimeout) {
  net::ServerOptions options;
  options.messageTimeout = std::chrono::seconds(3);
  const std::string hello = textFrame("hello");
  const std::string half = hello.substr(0, 5);
  const TimedCase cases[] = {
      {"frame never completed", {{10, half}}, 13, true},
      {"frame dribbled byte by byte", {{10, hello.substr(0, 1)}, {11, hello.substr(1, 1)}, {12, hello.substr(2, 1)}}, 13, true},
      {"frame completed in time", {{10, half}, {13, hello.substr(5)}}, 100, false},
      {"whole fragments of an unfinished message", {{10, frame(1, "a", false)}, {12, frame(0, "b", false)}}, 13, true},
      {"fragmented message finished in time", {{10, frame(1, "a", false)}, {13, frame(0, "b")}}, 100, false},
      {"the next message's time starts with its own bytes", {{10, half}, {12, hello.substr(5) + half}}, 15, true},
      {"a ping inside an open message does not finish it", {{10, frame(1, "a", false)}, {12, frame(9, "p")}}, 13, true},
      {"whole messages only", {{10, hello}, {12, hello}}, 100, false},
  };
  for (const TimedCase& c : cases) runTimed(c, options, "message timeout", net::Refusal::messageTimeout);

  runTimed({"no setting", {{10, half}}, 100, false}, {}, "", net::Refusal::messageTimeout);
  // Input held while an answer is awaited is not the peer's delay; its time starts when it is taken.
  Harness held(options);
  held.upgrade();
  held.holdEachMessage = true;
  held.now = 10;
  held.feed(textFrame("a") + half);
  ASSERT_TRUE(held.held);
  EXPECT_EQ(held.expire(100), Session::Expiry::none);
  held.holdEachMessage = false;
  held.answer();
  held.now = 50;
  held.feed("");
  EXPECT_EQ(held.expire(53), Session::Expiry::none);
  EXPECT_EQ(held.expire(54), Session::Expiry::closeAfterFlush);
}

// After the idle ping a frame must come within the limit: the pong or any other whole frame.
TEST(Session, PongTimeout) {
  net::ServerOptions options;
  options.pongTimeout = std::chrono::seconds(3);
  const auto pingAt = [](std::int64_t second) {
    return [second](Harness& h) { h.session->ping(h.out, second); };
  };
  const struct {
    TimedCase timed;
    std::function<void(Harness&)> then;
  } cases[] = {
      {{"nothing comes", {}, 13, true}, pingAt(10)},
      {{"only part of a frame comes", {}, 13, true},
       [](Harness& h) {
         h.session->ping(h.out, 10);
         h.now = 12;
         h.feed(frame(10, "").substr(0, 1));
       }},
      {{"a later ping does not restart the wait", {}, 13, true},
       [](Harness& h) {
         h.session->ping(h.out, 10);
         h.session->ping(h.out, 12);
       }},
      {{"the pong comes", {}, 100, false},
       [](Harness& h) {
         h.session->ping(h.out, 10);
         h.feed(frame(10, ""));
       }},
      {{"another frame comes", {}, 100, false},
       [](Harness& h) {
         h.session->ping(h.out, 10);
         h.feed(textFrame("busy"));
       }},
      // The hold does not stop the wait: a page that waits for a stuck token and answers no
      // ping gives its place up.
      {{"an answer is awaited, then goes out", {}, 13, true},
       [](Harness& h) {
         h.holdEachMessage = true;
         h.feed(textFrame("slow"));
         h.session->ping(h.out, 10);
         h.answer();
       }},
      {{"the pong comes behind a held message", {}, 100, false},
       [](Harness& h) {
         h.holdEachMessage = true;
         h.feed(textFrame("slow"));
         h.session->ping(h.out, 10);
         h.feed(frame(10, ""));
       }},
  };
  for (const auto& c : cases) runTimed(c.timed, options, "no pong", net::Refusal::pongTimeout, c.then);
  runTimed({"no setting", {}, 100, false}, {}, "", net::Refusal::pongTimeout, pingAt(10));

  // While the answer is awaited, the peer still owes its pong.
  Harness waiting(options);
  waiting.upgrade();
  waiting.holdEachMessage = true;
  waiting.feed(textFrame("slow"));
  waiting.session->ping(waiting.out, 10);
  EXPECT_EQ(waiting.expire(100), Session::Expiry::closeAfterFlush);
}

// While held, the input behind the hold is looked over, never taken: a frame over the size limit
// closes at once, and the peer's Close ends a connection held since its upgrade (its page left);
// behind a message's hold the Close waits its turn, after the answer.
TEST(Session, HeldInputIsLookedOver) {
  const std::string peerClose = std::string("\x03\xE9", 2);
  const std::string tooBig = std::string("\x03\xF1", 2) + "message too big";
  struct Case {
    const char* name;
    std::string behind;
    bool heldAtStart;
    std::string outWhileHeld;     // what goes out before the answer
    std::string outAfterAnswer;   // what follows once answered and offered again
  };
  const Case cases[] = {
      {"a message over the limit", textFrame(std::string(11, 'x')), false, closeFrame(tooBig), ""},
      {"its header alone", textFrame(std::string(11, 'x')).substr(0, 6), true, closeFrame(tooBig), ""},
      {"the Close of a page held since its upgrade", textFrame("b") + frame(8, peerClose), true,
       closeFrame(peerClose), ""},
      {"the Close behind a message's hold", textFrame("b") + frame(8, peerClose), false, "",
       echoed("b") + closeFrame(peerClose)},
      {"messages within the limit", textFrame("b"), false, "", echoed("b")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(sizeLimit(10));
    h.upgrade();
    h.answerCloseWhileHeld = c.heldAtStart;
    h.holdEachMessage = true;
    h.feed(textFrame("a"));
    h.holdEachMessage = false;
    h.out.clear();
    const Result whileHeld = h.feed(c.behind);
    EXPECT_EQ(whileHeld.used, 0u);
    EXPECT_EQ(h.events, std::vector<std::string>{"frame:a"});
    EXPECT_EQ(h.out, c.outWhileHeld);
    h.answer();
    h.out.clear();
    h.feed("");
    EXPECT_EQ(h.out, c.outAfterAnswer);
  }
}

}  // namespace
