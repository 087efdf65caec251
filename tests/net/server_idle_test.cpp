// SPDX-License-Identifier: MIT
// The idle ping: an idle connection gets "89 00" about every 6 s; one that sends every 4 s and a
// plain HTTP connection get none. All three run side by side on one server to keep the test short.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(IdlePing, OnlyTheIdleWebSocketIsPinged) {
  testsupport::ServerThread server(nettest::echoHandler);
  testsupport::RawClient idle, active, plain;
  ASSERT_TRUE(idle.open(server.port()));
  ASSERT_TRUE(active.open(server.port()));
  ASSERT_TRUE(plain.connect(server.port()));
  ASSERT_TRUE(plain.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto start = Clock::now();
  auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };

  std::vector<double> pings;
  auto nextSend = start + std::chrono::seconds(4);
  while (pings.size() < 2 && seconds() < 16.0) {
    if (const auto frame = idle.readFrame(100)) {
      EXPECT_EQ(frame->first, 0x89);
      EXPECT_EQ(frame->payload, "");
      pings.push_back(seconds());
    }
    if (Clock::now() >= nextSend) {
      ASSERT_TRUE(active.send(testsupport::textFrame("tick")));
      const auto reply = active.readFrame(1000);
      ASSERT_TRUE(reply.has_value());
      EXPECT_EQ(reply->first, 0x81);  // the echo, not a ping
      EXPECT_EQ(reply->payload, "tick");
      nextSend += std::chrono::seconds(4);
    }
  }
  ASSERT_EQ(pings.size(), 2u);
  EXPECT_GE(pings[0], 5.0);
  EXPECT_LE(pings[0], 7.5);
  EXPECT_GE(pings[1] - pings[0], 5.0);
  EXPECT_LE(pings[1] - pings[0], 7.5);
  EXPECT_EQ(active.drain(0).bytes, "");
  const auto quiet = plain.drain(0);
  EXPECT_EQ(quiet.bytes, "");
  EXPECT_FALSE(quiet.closed);
}

}  // namespace
