// SPDX-License-Identifier: MIT
// What an operator may restrict, over real sockets: which Origins may upgrade, how long a message
// may be, how long a connection may take to upgrade. Without the settings nothing of this applies
// (the other socket tests run with none).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/http_head.h"
#include "net/session.h"
#include "net/ws_frame.h"
#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using nettest::echoed;
using nettest::serverFrame;
using testsupport::frame;
using testsupport::RawClient;
using testsupport::textFrame;

const std::string kUpgraded =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

// Echoes like echoHandler and counts the upgrade requests the handler was told of.
std::atomic<int> upgradeRequests{0};
void countingEcho(net::Connection* connection, int event, void* data) {
  if (event == net::EV_WEBSOCKET_HANDSHAKE_REQUEST) ++upgradeRequests;
  nettest::echoHandler(connection, event, data);
}

TEST(Settings, OriginDecidesTheUpgrade) {
  const std::vector<std::string> listed = {"https://good.example", "http://localhost:8080"};
  struct Case {
    const char* name;
    std::vector<std::string> allowed;
    bool allowMissing;
    std::optional<std::string> origin;  // the Origin header's value; none: no header
    bool upgraded;
    int fillerLines = 0;  // header lines sent before the Origin
  };
  // The upgrade request has 5 header lines of its own: 34 more put the Origin on the 40th.
  const Case cases[] = {
      {"listed", listed, true, "https://good.example", true},
      {"listed, past the examined header lines", listed, true, "https://good.example", false, net::kMaxHeaders - 5},
      {"listed, on the last examined line", listed, true, "https://good.example", true, net::kMaxHeaders - 6},
      {"second listed, with port", listed, true, "http://localhost:8080", true},
      {"not listed", listed, true, "https://evil.example", false},
      {"case differs", listed, true, "https://GOOD.example", false},
      {"listed one as a prefix", listed, true, "https://good.example.evil", false},
      {"trailing slash", listed, true, "https://good.example/", false},
      {"other port", listed, true, "http://localhost:8081", false},
      {"opaque origin", listed, true, "null", false},
      {"missing, allowed", listed, true, std::nullopt, true},
      {"missing, refused", listed, false, std::nullopt, false},
      {"empty header counts as missing", listed, false, "", false},
      {"no list: any origin", {}, false, "https://evil.example", true},
      {"no list: missing too", {}, false, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::ServerOptions options;
    options.allowedOrigins = c.allowed;
    options.allowMissingOrigin = c.allowMissing;
    testsupport::ServerThread server(countingEcho, options);
    upgradeRequests = 0;
    RawClient client;
    ASSERT_TRUE(client.connect(server.port()));
    std::string header;
    for (int i = 0; i < c.fillerLines; ++i) header += "X-Filler-" + std::to_string(i) + ": 1\r\n";
    if (c.origin) header += "Origin: " + *c.origin + "\r\n";
    // A frame in the same write as the head: a refused upgrade must not read it.
    ASSERT_TRUE(client.send(RawClient::upgradeRequest("/", header) + textFrame("hi")));
    if (c.upgraded) {
      EXPECT_EQ(client.readExactly(kUpgraded.size() + 4, 2000).value_or("(timeout)"), kUpgraded + echoed("hi"));
      const auto rest = client.drain(50);
      EXPECT_EQ(rest.bytes, "");
      EXPECT_FALSE(rest.closed);
      EXPECT_EQ(upgradeRequests.load(), 1);
    } else {
      const auto result = client.drain(2000);
      EXPECT_EQ(result.bytes, testsupport::kForbiddenResponse);
      EXPECT_TRUE(result.closed);
      EXPECT_EQ(upgradeRequests.load(), 0);
    }
  }
}

std::string tooBig() {
  const std::string payload = net::kMessageTooBig;
  return serverFrame(0x88, std::string(1, static_cast<char>(payload.size())), payload);
}

TEST(Settings, MaxMessageBytes) {
  net::ServerOptions options;
  options.maxMessageBytes = 100;
  testsupport::ServerThread server(nettest::echoHandler, options);
  const std::string at(100, 'a');
  const std::string over(101, 'o');
  const std::string part(60, 'p');
  // Only the header of a frame announcing 1 TiB: the verdict cannot wait for its payload.
  const std::string hugeHeader = std::string("\x81\xFF\x00\x00\x01\x00\x00\x00\x00\x00", 10) + "mask";
  struct Case {
    const char* name;
    std::string send;
    std::string expected;
    bool closed;
  };
  const Case cases[] = {
      {"text at the limit", textFrame(at), serverFrame(0x81, "\x64", at), false},
      {"text over it", textFrame(over), tooBig(), true},
      {"fragments reaching the limit", frame(1, part, false) + frame(0, std::string(40, 'p')),
       serverFrame(0x81, "\x64", part + std::string(40, 'p')), false},
      {"fragments passing it", frame(1, part, false) + frame(0, std::string(41, 'p')), tooBig(), true},
      {"ping at the limit", frame(9, at), serverFrame(0x8A, "\x64", at), false},
      {"ping over it", frame(9, over), tooBig(), true},
      {"close over it", frame(8, over), tooBig(), true},
      {"announced length alone", hugeHeader, tooBig(), true},
      {"replies before it still go", textFrame("ok") + textFrame(over) + textFrame("after"), echoed("ok") + tooBig(),
       true},
  };
  RawClient bystander;
  ASSERT_TRUE(bystander.open(server.port()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client;
    ASSERT_TRUE(client.open(server.port()));
    ASSERT_TRUE(client.send(c.send));
    const auto result = client.drain(c.closed ? 2000 : 300);
    EXPECT_EQ(result.bytes, c.expected);
    EXPECT_EQ(result.closed, c.closed);
  }
  ASSERT_TRUE(bystander.send(textFrame("still here")));
  EXPECT_EQ(bystander.readExactly(12, 2000).value_or(""), echoed("still here"));
}

// Connections that have not upgraded in time are closed without a byte; an upgraded one stays.
TEST(Settings, HandshakeTimeout) {
  net::ServerOptions options;
  options.handshakeTimeout = std::chrono::milliseconds(300);
  testsupport::ServerThread server(nettest::echoHandler, options);
  struct Case {
    const char* name;
    std::string send;
  };
  const Case slow[] = {
      {"silent", ""},
      {"half a head", "GET / HTTP/1.1\r\nHost: x\r\n"},
      {"plain request, never upgraded", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  const auto start = Clock::now();
  std::vector<RawClient> clients(std::size(slow));
  for (std::size_t i = 0; i < std::size(slow); ++i) {
    ASSERT_TRUE(clients[i].connect(server.port()));
    if (!slow[i].send.empty()) {
      ASSERT_TRUE(clients[i].send(slow[i].send));
    }
  }
  RawClient upgraded;
  ASSERT_TRUE(upgraded.open(server.port()));
  for (std::size_t i = 0; i < std::size(slow); ++i) {
    SCOPED_TRACE(slow[i].name);
    const auto result = clients[i].drain(3000);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(result.bytes, "");
    EXPECT_TRUE(result.closed);
    EXPECT_GE(elapsed.count(), 250);
  }
  const auto quiet = upgraded.drain(400);
  EXPECT_EQ(quiet.bytes, "");
  EXPECT_FALSE(quiet.closed);
  ASSERT_TRUE(upgraded.send(textFrame("late")));
  EXPECT_EQ(upgraded.readExactly(6, 2000).value_or(""), echoed("late"));
}

}  // namespace

namespace {

// With an Origin list, plain requests (a page's fetch() or <img>, with or without an Origin) are
// answered 426 and closed at once, so four of them cannot keep the listed site out of four places.
TEST(Settings, PlainRequestsDoNotHoldPlaces) {
  net::ServerOptions options;
  options.allowedOrigins = {"https://good.example"};
  options.allowMissingOrigin = false;
  options.maxConnections = 4;
  testsupport::ServerThread server(nettest::echoHandler, options);
  const std::string plain[] = {
      "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example\r\n\r\n",
      "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
      "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example\r\nContent-Length: 3\r\n\r\nabc",
      "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://good.example\r\n\r\n",
  };
  std::vector<RawClient> knockers(std::size(plain));
  for (std::size_t i = 0; i < std::size(plain); ++i) {
    SCOPED_TRACE(plain[i]);
    ASSERT_TRUE(knockers[i].connect(server.port()));
    ASSERT_TRUE(knockers[i].send(plain[i]));
    const auto result = knockers[i].drain(2000);
    EXPECT_EQ(result.bytes, std::string(net::kUpgradeRequired));
    EXPECT_TRUE(result.closed);
  }
  // The knockers' sockets stay open on their side; the listed site still gets its upgrade.
  RawClient site;
  ASSERT_TRUE(site.connect(server.port()));
  ASSERT_TRUE(site.send(RawClient::upgradeRequest("/", "Origin: https://good.example\r\n") + textFrame("hi")));
  EXPECT_EQ(site.readExactly(kUpgraded.size() + 4, 2000).value_or("(timeout)"), kUpgraded + echoed("hi"));
}

// Each kind of refusal and timeout reaches the operator's log as a summary line, a refused
// Origin escaped. (How often the lines may come is the unit test's, with its clock passed in.)
TEST(Settings, RefusalsAndTimeoutsReachTheLog) {
  static std::mutex logMutex;
  static std::vector<std::string> lines;
  net::ServerOptions options;
  options.allowedOrigins = {"https://good.example"};
  options.allowMissingOrigin = false;
  options.maxConnections = 2;
  options.handshakeTimeout = std::chrono::milliseconds(1000);
  options.messageTimeout = std::chrono::seconds(1);
  options.log = [](const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    lines.push_back(line);
  };
  testsupport::ServerThread server(nettest::echoHandler, options);
  const std::string requests[] = {
      RawClient::upgradeRequest("/", "Origin: https://ex\"\xC3\xA9.example\r\n"),
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
  };
  for (const std::string& request : requests) {
    RawClient refused;
    ASSERT_TRUE(refused.connect(server.port()));
    ASSERT_TRUE(refused.send(request));
    ASSERT_TRUE(refused.waitClosed(2000));
  }
  {
    RawClient silent[2], beyond;
    for (RawClient& client : silent) ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(beyond.connect(server.port()));
    EXPECT_TRUE(beyond.waitClosed(2000));
    for (RawClient& client : silent) EXPECT_TRUE(client.waitClosed(3000));  // the handshake timeout
  }
  RawClient slow;
  ASSERT_TRUE(slow.connect(server.port()));
  ASSERT_EQ(slow.upgrade("/", "Origin: https://good.example\r\n").rfind("HTTP/1.1 101", 0), 0u);
  ASSERT_TRUE(slow.send(textFrame("never finished").substr(0, 4)));
  EXPECT_TRUE(slow.waitClosed(4000));

  const std::vector<std::string> expected = {
      "refused upgrades (403, Origin not allowed): 1, last Origin \"https://ex\\x22\\xC3\\xA9.example\"",
      "plain HTTP requests answered 426 (an Origin list is set): 1, the last without Origin",
      "connections closed at once: max-connections reached: 1",
      "connections closed: handshake-timeout: ",  // 1 or 2: the two may fall into different ticks
      "connections closed: message-timeout (status 1008): 1",
  };
  const auto missing = [&] {
    std::lock_guard<std::mutex> lock(logMutex);
    std::vector<std::string> notSeen;
    for (const std::string& want : expected) {
      const bool seen = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return want.back() == ' ' ? line.rfind(want, 0) == 0 : line == want;
      });
      if (!seen) notSeen.push_back(want);
    }
    return notSeen;
  };
  for (int i = 0; i < 30 && !missing().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(missing(), std::vector<std::string>{}) << ::testing::PrintToString(lines);
}

}  // namespace
