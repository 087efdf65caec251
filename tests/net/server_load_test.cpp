// SPDX-License-Identifier: MIT
// Many connections at once: 2,000 clients, all upgraded and answered by the one loop, whatever
// their descriptor numbers; busy and quiet connections served side by side.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

constexpr int kClients = 2000;

TEST(Load, TwoThousandConnections) {
  // Client and server ends live in this one process.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2 * kClients + 100) {
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur < 2 * kClients + 100) GTEST_SKIP() << "descriptor limit " << limit.rlim_cur;

  testsupport::ServerThread server(nettest::echoHandler);
  std::vector<testsupport::RawClient> clients(kClients);
  int highest = 0;
  // In bursts below the backlog of 128, so no connect waits for a SYN to be retransmitted; every
  // connection stays open until the end.
  for (int batch = 0; batch < kClients; batch += 100) {
    for (int i = batch; i < batch + 100; ++i) ASSERT_TRUE(clients[i].connect(server.port()));
    for (int i = batch; i < batch + 100; ++i) ASSERT_TRUE(clients[i].send(testsupport::RawClient::upgradeRequest()));
    for (int i = batch; i < batch + 100; ++i) {
      const auto head = clients[i].readExactly(129, 5000);
      ASSERT_TRUE(head.has_value()) << i;
      ASSERT_NE(head->find(testsupport::kSampleAccept), std::string::npos);
      highest = std::max(highest, clients[i].fd());
    }
  }
  EXPECT_GT(highest, 1024);  // beyond what select() could have watched
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(clients[i].send(testsupport::textFrame("m" + std::to_string(i))));
  for (int i = 0; i < kClients; ++i) {
    const std::string expected = nettest::echoed("m" + std::to_string(i));
    ASSERT_EQ(clients[i].readExactly(expected.size(), 5000).value_or(""), expected) << i;
  }
}

// Busy connections are read again in turns, a connection that has gone quiet waits for epoll,
// and one can switch between the two at any time. Every request must be answered, in order, on
// every kind of connection, including one that closes with a request still unanswered.
TEST(Load, BusyAndQuietConnectionsAreAllServedInOrder) {
  constexpr int kBusy = 16;
  constexpr int kRequests = 400;
  testsupport::ServerThread server(nettest::echoHandler);

  std::vector<std::string> failures(kBusy);
  std::vector<std::thread> busy;
  for (int t = 0; t < kBusy; ++t) {
    busy.emplace_back([&, t] {
      testsupport::RawClient client;
      if (!client.open(server.port())) {
        failures[t] = "no upgrade";
        return;
      }
      for (int i = 0; i < kRequests; ++i) {
        const std::string text = std::to_string(t) + "/" + std::to_string(i);
        if (!client.send(testsupport::textFrame(text))) {
          failures[t] = "send failed at " + text;
          return;
        }
        const std::string expected = nettest::echoed(text);
        if (client.readExactly(expected.size(), 5000).value_or("") != expected) {
          failures[t] = "wrong or missing reply to " + text;
          return;
        }
        // Every fourth connection pauses now and then, so its next read finds nothing.
        if (t % 4 == 0 && i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(15));
      }
      client.send(testsupport::textFrame("last"));  // closes with this one unanswered
    });
  }

  // Meanwhile, on another connection: quiet pauses, bursts of several frames in one write, and a
  // frame split across two writes.
  testsupport::RawClient mixed;
  ASSERT_TRUE(mixed.open(server.port()));
  for (int round = 0; round < 20; ++round) {
    std::string burst;
    std::string expected;
    for (int k = 0; k < 5; ++k) {
      const std::string text = "b" + std::to_string(round) + "." + std::to_string(k);
      burst += testsupport::textFrame(text);
      expected += nettest::echoed(text);
    }
    ASSERT_TRUE(mixed.send(burst));
    ASSERT_EQ(mixed.readExactly(expected.size(), 5000).value_or(""), expected) << round;

    const std::string split = testsupport::textFrame("split" + std::to_string(round));
    ASSERT_TRUE(mixed.send(split.substr(0, 4)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(mixed.send(split.substr(4)));
    const std::string splitReply = nettest::echoed("split" + std::to_string(round));
    ASSERT_EQ(mixed.readExactly(splitReply.size(), 5000).value_or(""), splitReply) << round;
  }

  for (auto& thread : busy) thread.join();
  for (int t = 0; t < kBusy; ++t) EXPECT_EQ(failures[t], "") << "connection " << t;

  // The loop is still serving after the closes.
  testsupport::RawClient after;
  ASSERT_TRUE(after.open(server.port()));
  ASSERT_TRUE(after.send(testsupport::textFrame("after")));
  EXPECT_EQ(after.readExactly(nettest::echoed("after").size(), 5000).value_or(""), nettest::echoed("after"));
}

// A peer that sends requests and reads none of the replies: the service stops reading it once
// its unsent replies pile up, so the peer's sending stalls instead of the daemon's memory
// growing without end; once the peer reads, every reply arrives, in order, and nothing is lost.
TEST(Load, PeerThatDoesNotReadIsNotReadEither) {
  testsupport::ServerThread server(nettest::echoHandler);
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(server.port()));

  const std::string request = testsupport::textFrame("0123456789abcdef");
  std::string burst;
  for (int i = 0; i < 4096; ++i) burst += request;

  // Send until the socket has taken nothing for half a second. What the kernel buffers on both
  // ways plus the service's own limit is a few MiB; a service that went on reading would take
  // far more before anything stalled.
  constexpr std::size_t kMuchMore = 64u << 20;
  const std::size_t sent = client.sendUntilStalled(burst, 500, kMuchMore);
  const bool stalled = sent < kMuchMore;
  ASSERT_TRUE(stalled) << "the service kept reading a peer that reads nothing: " << sent << " bytes taken";

  // The last frame may have gone out in part: complete it from another thread, since that send
  // can only finish once the service reads again, which it does once the replies are read.
  const std::size_t partial = sent % request.size();
  std::thread finisher;
  if (partial != 0) {
    finisher = std::thread([&client, rest = request.substr(partial)] { client.send(rest); });
  }
  const std::size_t requests = sent / request.size() + (partial != 0 ? 1 : 0);
  const std::string reply = nettest::echoed("0123456789abcdef");
  for (std::size_t i = 0; i < requests; ++i) {
    const auto got = client.readExactly(reply.size(), 5000);
    ASSERT_TRUE(got.has_value()) << "reply " << i << " of " << requests << " missing";
    ASSERT_EQ(*got, reply) << i;
  }
  if (finisher.joinable()) finisher.join();

  // Still served afterwards, as an ordinary connection. A client slow to read what the kernel
  // already holds (under the sanitizers, several seconds) leaves the server quiet long enough for
  // the idle ping, which then comes first, after every reply.
  ASSERT_TRUE(client.send(testsupport::textFrame("after")));
  auto after = client.readFrame(5000);
  if (after && after->first == 0x89 && after->payload.empty()) after = client.readFrame(5000);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->first, 0x81);
  EXPECT_EQ(after->payload, "after");
}

// Answers every data message with a 16 KiB frame that starts with the message's number: a few
// bytes in, much out, as a small request and a long reply would.
constexpr std::size_t kLongReply = 16 * 1024;
std::atomic<int> longRepliesQueued{0};
std::string longReply(int number) {
  std::string reply = std::to_string(number) + ":";
  reply.resize(kLongReply, '.');
  return reply;
}
void longReplyHandler(net::Connection* connection, int event, void* data) {
  if (event != net::EV_WEBSOCKET_FRAME) return;
  (void)data;
  const std::string reply = longReply(longRepliesQueued++);
  net::sendWebSocketFrame(connection, net::OP_TEXT, reply.data(), reply.size());
}

// The bound on unread replies holds for every message, not once per read: 4,000 two-byte
// requests in one write, from a peer that reads nothing, would otherwise queue 64 MiB of replies
// in one turn. Pings among them: their pongs count too, and keep their place in the order. Once
// the peer reads, every reply and pong arrives, in order.
TEST(Load, UnreadRepliesBoundedPerMessage) {
  constexpr int kRequests = 4000;
  longRepliesQueued = 0;
  testsupport::ServerThread server(longReplyHandler);
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(server.port()));

  std::string burst;
  std::string expected;
  const std::string replyHeader("\x81\x7E\x40\x00", 4);
  for (int i = 0; i < kRequests; ++i) {
    burst += std::string("\x81\x00", 2);  // unmasked, empty: the smallest request there is
    expected += replyHeader + longReply(i);
    if (i % 100 == 0) {
      const std::string ping = "p" + std::to_string(i);
      burst += testsupport::frame(9, ping);
      expected += nettest::serverFrame(0x8A, std::string(1, static_cast<char>(ping.size())), ping);
    }
  }
  ASSERT_TRUE(client.send(burst));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // What the kernel buffers on both ways is a few MiB at most, and the service's own bound is
  // 256 KiB: well under the 16 MiB allowed here, and far from the 64 MiB of all the replies.
  const std::size_t queued = static_cast<std::size_t>(longRepliesQueued.load()) * kLongReply;
  EXPECT_LT(queued, 16u << 20) << longRepliesQueued.load() << " replies queued for a peer that reads none";

  const auto got = client.readExactly(expected.size(), 10000);
  ASSERT_TRUE(got.has_value()) << "replies missing once the peer reads";
  EXPECT_TRUE(*got == expected) << "replies out of order or garbled";
  EXPECT_EQ(longRepliesQueued.load(), kRequests);
  EXPECT_EQ(client.drain(100).bytes, "");
}

}  // namespace
