// SPDX-License-Identifier: MIT
// Out of descriptors: the listener must neither spin on the accept error nor give up; the waiting
// client is upgraded once descriptors are free again, and the others are served meanwhile.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(Accept, OutOfDescriptorsNeitherSpinsNorGivesUp) {
  testsupport::ServerThread server(nettest::echoHandler);
  testsupport::RawClient served;
  ASSERT_TRUE(served.open(server.port()));

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  // Room for exactly one more descriptor: the waiting client's socket. The server's accept fails.
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  testsupport::RawClient waiting;
  const bool connected = waiting.connect(server.port()) && waiting.send(testsupport::RawClient::upgradeRequest());

  const double cpuBefore = cpuSeconds();
  const auto quiet = waiting.drain(1500);
  ASSERT_TRUE(served.send(testsupport::textFrame("meanwhile")));
  const auto echo = served.readExactly(11, 2000);
  const double cpuUsed = cpuSeconds() - cpuBefore;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_TRUE(connected);
  EXPECT_EQ(quiet.bytes, "");
  EXPECT_EQ(echo.value_or(""), nettest::echoed("meanwhile"));
  EXPECT_LT(cpuUsed, 0.3) << "the loop spins on the accept error";
  const auto head = waiting.readExactly(129, 3000);
  ASSERT_TRUE(head.has_value()) << "the listener gave up";
  EXPECT_NE(head->find(testsupport::kSampleAccept), std::string::npos);
}

}  // namespace
