// SPDX-License-Identifier: MIT
// Many connections at once: 2,000 clients, all upgraded and answered by the one loop, whatever
// their descriptor numbers.
#include <gtest/gtest.h>

#include <sys/resource.h>

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

}  // namespace
