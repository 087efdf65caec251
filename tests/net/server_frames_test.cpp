// SPDX-License-Identifier: MIT
// Frames over real sockets: data messages in every form, control frames, protocol errors and
// their close texts, large messages, half-close.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "net/ws_frame.h"
#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using nettest::echoed;
using nettest::serverFrame;
using testsupport::buildFrame;
using testsupport::FrameSpec;
using testsupport::frame;
using testsupport::LengthForm;
using testsupport::RawClient;
using testsupport::textFrame;

FrameSpec spec(unsigned opcode, bool fin = true, bool masked = true) {
  FrameSpec s;
  s.opcode = opcode;
  s.fin = fin;
  s.masked = masked;
  return s;
}

std::string closeFrame(std::string_view text) {
  return serverFrame(0x88, std::string(1, static_cast<char>(text.size())), text);
}

class Frames : public ::testing::Test {
 protected:
  RawClient open() {
    RawClient client;
    EXPECT_TRUE(client.open(server_.port()));
    return client;
  }
  testsupport::ServerThread server_{nettest::echoHandler};
};

struct ExchangeCase {
  const char* name;
  std::string send;
  std::string expected;
};

std::vector<ExchangeCase> exchangeCases() {
  FrameSpec rsv = spec(1);
  rsv.rsv = 7;
  FrameSpec long64 = spec(1);
  long64.form = LengthForm::bits64;
  const std::string text300(300, 'q');
  return {
      {"masked text", textFrame("hello"), echoed("hello")},
      {"unmasked text", buildFrame("hello", spec(1, true, false)), echoed("hello")},
      {"masked binary answered as text", buildFrame("\x01\x02", spec(2)), echoed("\x01\x02")},
      {"unmasked binary", buildFrame("bin", spec(2, true, false)), echoed("bin")},
      {"empty message", textFrame(""), echoed("")},
      {"RSV bits ignored", buildFrame("r", rsv), echoed("r")},
      {"reserved data opcode delivered", frame(3, "three"), echoed("three")},
      {"64-bit length form for 5 bytes", buildFrame("hello", long64), echoed("hello")},
      {"16-bit reply", textFrame(text300), serverFrame(0x81, "\x7e\x01\x2c", text300)},
      {"three fragments, one message", frame(1, "he", false) + frame(0, "ll", false) + frame(0, "o"), echoed("hello")},
      {"ping between fragments: pong first",
       frame(1, "he", false) + frame(9, "p") + frame(0, "llo"), serverFrame(0x8A, "\x01", "p") + echoed("hello")},
      {"pong between fragments ignored", frame(2, "a", false) + frame(10, "x") + frame(0, "b"), echoed("ab")},
      {"several messages, replies in order", textFrame("one") + textFrame("two") + textFrame("three"),
       echoed("one") + echoed("two") + echoed("three")},
      {"reserved control opcode ignored", frame(11, "x") + textFrame("after"), echoed("after")},
  };
}

void runExchange(RawClient& client, const ExchangeCase& c) {
  EXPECT_EQ(client.readExactly(c.expected.size(), 3000).value_or("(timeout)"), c.expected);
  const auto extra = client.drain(50);
  EXPECT_EQ(extra.bytes, "");
  EXPECT_FALSE(extra.closed);
}

TEST_F(Frames, MessagesInOneWrite) {
  RawClient client = open();
  for (const ExchangeCase& c : exchangeCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client.send(c.send));
    runExchange(client, c);
  }
}

// The same bytes one at a time, so every head, header and payload is split across reads.
TEST_F(Frames, MessagesByteByByte) {
  RawClient client = open();
  for (const ExchangeCase& c : exchangeCases()) {
    SCOPED_TRACE(c.name);
    for (char byte : c.send) {
      ASSERT_TRUE(client.send(std::string(1, byte)));
      ::usleep(100);
    }
    runExchange(client, c);
  }
}

TEST_F(Frames, PingPongLengthForms) {
  struct Case {
    const char* name;
    std::size_t size;
    std::string pongHeader;
  };
  const Case cases[] = {
      {"empty", 0, std::string("\x8A\x00", 2)},
      {"125 bytes", 125, "\x8A\x7D"},
      {"200 bytes", 200, std::string("\x8A\x7E\x00\xC8", 4)},
      {"65535 bytes: 64-bit form", 65535, std::string("\x8A\x7F\x00\x00\x00\x00\x00\x00\xFF\xFF", 10)},
  };
  RawClient client = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string payload;
    for (std::size_t i = 0; i < c.size; ++i) payload.push_back(static_cast<char>('a' + i % 26));
    ASSERT_TRUE(client.send(frame(9, payload)));
    EXPECT_EQ(client.readExactly(c.pongHeader.size() + c.size, 3000).value_or(""), c.pongHeader + payload);
    EXPECT_EQ(client.drain(50).bytes, "");
  }
}

TEST_F(Frames, CloseIsEchoedThenConnectionCloses) {
  RawClient client = open();
  const std::string payload = "\x03\xE8" "bye";
  // The message before the close is answered; the one after it is not read.
  ASSERT_TRUE(client.send(textFrame("first") + frame(8, payload) + textFrame("ignored")));
  const auto result = client.drain(2000);
  EXPECT_EQ(result.bytes, echoed("first") + serverFrame(0x88, "\x05", payload));
  EXPECT_TRUE(result.closed);
}

TEST_F(Frames, ProtocolErrorsCloseWithTheirText) {
  const std::string control = net::kFragmentedControl;
  const std::string nonCont = net::kNonContinuation;
  const std::string overflow = net::kOverflowed;
  const std::string huge = std::string("\x81\x7F", 2) + std::string(8, '\xFF');
  const struct {
    const char* name;
    std::string send;
    std::string expected;
  } cases[] = {
      {"ping without FIN", frame(9, "", false), closeFrame(control)},
      {"close without FIN", frame(8, "", false), closeFrame(control)},
      {"pong without FIN", frame(10, "x", false), closeFrame(control)},
      {"text with FIN inside a message", frame(1, "a", false) + frame(1, "b"), closeFrame(nonCont)},
      {"new data frame without FIN inside a message", frame(1, "a", false) + frame(2, "b", false),
       closeFrame(nonCont)},
      {"stray continuation with FIN (80 00)", buildFrame("", spec(0, true, false)), closeFrame(nonCont)},
      {"stray continuation without FIN (00 xx)", frame(0, "abc", false), closeFrame(nonCont)},
      {"length overflows", huge, closeFrame(overflow)},
      {"replies before the error still go", textFrame("ok") + frame(9, "", false), echoed("ok") + closeFrame(control)},
      {"one close frame per error, not per read", frame(9, "", false) + frame(8, "", false) + huge,
       closeFrame(control)},
  };
  RawClient bystander = open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client = open();
    ASSERT_TRUE(client.send(c.send));
    const auto result = client.drain(2000);
    EXPECT_EQ(result.bytes, c.expected);
    EXPECT_TRUE(result.closed);
  }
  // The service keeps serving the others.
  ASSERT_TRUE(bystander.send(textFrame("still here")));
  EXPECT_EQ(bystander.readExactly(12, 2000).value_or(""), echoed("still here"));
}

// A client that half-closes right after its messages still gets every reply, then the close.
TEST_F(Frames, HalfClosedClientGetsItsReplies) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("a") + textFrame("b") + frame(9, "p")));
  client.shutdownWrite();
  const auto result = client.drain(2000);
  EXPECT_EQ(result.bytes, echoed("a") + echoed("b") + serverFrame(0x8A, "\x01", "p"));
  EXPECT_TRUE(result.closed);
}

// A client that vanishes with replies pending costs only its own connection.
TEST_F(Frames, VanishedClientDoesNotStopTheService) {
  {
    RawClient gone = open();
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += frame(9, std::string(60000, 'z'));
    // Pongs pile up unread, until the service stops reading this peer; whatever the socket takes
    // until it stalls for a second, then the socket is closed with data unread both ways.
    ASSERT_GT(gone.sendUntilStalled(burst, 1000, burst.size()), 1u << 20);
  }
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("alive")));
  EXPECT_EQ(client.readExactly(7, 3000).value_or(""), echoed("alive"));
}

TEST(LargeMessages, SixteenMiB) {
  testsupport::ServerThread server(nettest::summaryHandler);
  std::string payload(16u << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::size_t quarter = payload.size() / 4;
  const struct {
    const char* name;
    std::string send;
  } cases[] = {
      {"one masked frame", buildFrame(payload, spec(2))},
      {"four fragments", frame(1, std::string_view(payload).substr(0, quarter), false) +
                             frame(0, std::string_view(payload).substr(quarter, quarter), false) +
                             buildFrame(std::string_view(payload).substr(2 * quarter, quarter), spec(0, false, false)) +
                             frame(0, std::string_view(payload).substr(3 * quarter))},
  };
  RawClient client;
  ASSERT_TRUE(client.open(server.port()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client.send(c.send));
    const auto reply = client.readFrame(10000);
    ASSERT_TRUE(reply.has_value());
    const unsigned flags = c.name[0] == 'o' ? 0x82 : 0x81;
    EXPECT_EQ(reply->payload, nettest::summary(payload, flags));
    // Small messages afterwards are still answered.
    ASSERT_TRUE(client.send(textFrame("small")));
    EXPECT_EQ(client.readFrame(2000).value_or(testsupport::ReceivedFrame{}).payload, nettest::summary("small", 0x81));
  }
}

}  // namespace
