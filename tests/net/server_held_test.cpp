// SPDX-License-Identifier: MIT
// A held connection over real sockets, while its hold is never answered (a person who does not
// decide, a stuck token): it reads only a few KiB behind the hold, the size limit applies to what
// it reads, its page leaving closes it at once, and the pong timeout still runs.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/hold.h"
#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using nettest::serverFrame;
using testsupport::frame;
using testsupport::RawClient;
using testsupport::textFrame;

// Holds every connection from its upgrade (as the consent step does) or from its first message
// (as a token request does), and never answers; counts the closes the handler is told of.
std::mutex holdsMutex;
std::vector<net::Hold> holds;
std::atomic<int> closes{0};
std::atomic<bool> holdAtStart{false};

void neverAnswers(net::Connection* connection, int event, void*) {
  if (event == net::EV_CLOSE) ++closes;
  const bool take = holdAtStart ? event == net::EV_WEBSOCKET_HANDSHAKE_DONE : event == net::EV_WEBSOCKET_FRAME;
  if (!take) return;
  std::lock_guard<std::mutex> lock(holdsMutex);
  holds.push_back(net::hold(connection));
}

class Held : public ::testing::Test {
 protected:
  explicit Held(net::ServerOptions options = {}) : server_(neverAnswers, std::move(options)) { closes = 0; }
  ~Held() override {
    std::lock_guard<std::mutex> lock(holdsMutex);
    holds.clear();  // resumed: the connections are closed by then or with the server
  }
  RawClient open() {
    RawClient client;
    EXPECT_TRUE(client.open(server_.port()));
    return client;
  }
  bool closesWithin(int expected, int ms) {
    for (const auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
      if (closes.load() >= expected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return closes.load() >= expected;
  }
  testsupport::ServerThread server_;
};

// Bytes in the receive queue of the server's end of the client's connection, from /proc/net/tcp:
// what the server has not read.
std::optional<std::size_t> serverUnread(int clientFd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(clientFd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  char remote[16];
  std::snprintf(remote, sizeof remote, ":%04X", ntohs(local.sin_port));
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues;
    if (remoteAddress.size() < 5 || remoteAddress.substr(remoteAddress.size() - 5) != remote) continue;
    return std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return std::nullopt;
}

// A held connection whose client keeps sending: the server reads a few KiB behind the hold and no
// more, whatever the kernel buffers take (what the server read = sent - still in the client's
// send queue - still in the server's receive queue).
TEST_F(Held, ReadsOnlyAFewKiBBehindTheHold) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("held")));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string message = textFrame(std::string(1000, 'x'));
  const std::size_t sent = client.sendUntilStalled(message, 300, 32u << 20);
  int clientUnsent = 0;
  ASSERT_EQ(::ioctl(client.fd(), SIOCOUTQ, &clientUnsent), 0);
  const std::optional<std::size_t> unread = serverUnread(client.fd());
  ASSERT_TRUE(unread.has_value());
  const std::size_t read = sent - static_cast<std::size_t>(clientUnsent) - *unread;
  EXPECT_LE(read, 8u * 1024) << "sent " << sent;
  EXPECT_GT(read, 0u);
}

// The operator's size limit applies to what is read behind the hold: the connection closes with
// 1009 at once, not once its hold is answered.
class HeldWithLimit : public Held {
 protected:
  static net::ServerOptions limited() {
    net::ServerOptions options;
    options.maxMessageBytes = 100;
    return options;
  }
  HeldWithLimit() : Held(limited()) {}
};

TEST_F(HeldWithLimit, MessageOverTheLimitClosesAtOnce) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("held")));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(client.send(textFrame(std::string(101, 'x'))));
  const std::string tooBig = serverFrame(0x88, "\x11", std::string("\x03\xF1", 2) + "message too big");
  EXPECT_EQ(client.readExactly(tooBig.size(), 1000).value_or("(timeout)"), tooBig);
  EXPECT_TRUE(client.waitClosed(1000));
  EXPECT_TRUE(closesWithin(1, 1000));
}

// A connection held since its upgrade whose page leaves: its end of stream, reset or Close frame
// behind a request closes it within a second, and the handler hears EV_CLOSE.
TEST_F(Held, PageHeldSinceItsUpgradeLeaving) {
  holdAtStart = true;
  struct Case {
    const char* name;
    void (*leave)(RawClient&);  // the client as the page leaves
  };
  const Case cases[] = {
      {"end of stream", [](RawClient& c) { c.shutdownWrite(); }},
      {"reset",
       [](RawClient& c) {
         const linger abort{1, 0};
         ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
         RawClient gone(std::move(c));  // closed here: a reset
       }},
      {"Close frame", [](RawClient& c) { c.send(frame(8, std::string("\x03\xE9", 2))); }},
  };
  int expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client = open();
    ASSERT_TRUE(client.send(textFrame("{\"type\":\"GetDevState\"}")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(closes.load(), expected);
    c.leave(client);
    EXPECT_TRUE(closesWithin(++expected, 1000));
  }
  holdAtStart = false;
}

// The pong timeout runs while the hold is unanswered: a client that answers no ping is closed
// with 1008, one that answers keeps its place.
class HeldWithPongTimeout : public Held {
 protected:
  static net::ServerOptions pongTimeout() {
    net::ServerOptions options;
    options.pongTimeout = std::chrono::seconds(1);
    return options;
  }
  HeldWithPongTimeout() : Held(pongTimeout()) {}
};

TEST_F(HeldWithPongTimeout, StillRuns) {
  RawClient silent = open();
  RawClient answering = open();
  ASSERT_TRUE(silent.send(textFrame("held")));
  ASSERT_TRUE(answering.send(textFrame("held")));
  // The idle ping comes after 5 s without traffic; the answering client pongs it.
  const std::optional<testsupport::ReceivedFrame> ping = answering.readFrame(8000);
  ASSERT_TRUE(ping.has_value());
  ASSERT_EQ(ping->opcode(), 9u);
  ASSERT_TRUE(answering.send(frame(10, "")));
  const std::string noPong = serverFrame(0x88, "\x09", std::string("\x03\xF0", 2) + "no pong");
  const std::string ping0 = serverFrame(0x89, std::string("\x00", 1), "");
  EXPECT_EQ(silent.readExactly(ping0.size() + noPong.size(), 4000).value_or("(timeout)"), ping0 + noPong);
  EXPECT_TRUE(silent.waitClosed(2000));
  EXPECT_FALSE(answering.waitClosed(1500));
}

}  // namespace
