// SPDX-License-Identifier: MIT
// A token call that does not return is logged once while it waits, naming the function and the
// wait, and once more when it returns; quick calls are never logged.
#include "service/stuck_call_watcher.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "token/call_watch.h"
#include "token/warnings.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

void capture(const std::string& line) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back(line);
}

std::vector<std::string> captured() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

class StuckCall : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    token::setWarningSink(capture);
  }
  void TearDown() override { token::setWarningSink(nullptr); }
};

TEST_F(StuckCall, IsLoggedOnceWhileItWaitsAndOnceWhenItReturns) {
  const StuckCallWatcher watcher(std::chrono::milliseconds(200), std::chrono::milliseconds(10));
  for (int quick = 0; quick < 20; ++quick) token::watched("SKF_GetDevInfo", [] { return 0; });
  std::promise<void> release;
  std::thread tokenThread([&] {
    token::watched("SKF_EnumDev", [&] {
      release.get_future().wait();
      return 0;
    });
  });
  // Well past the threshold: still one line, not one per look.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const std::vector<std::string> waiting = captured();
  ASSERT_EQ(waiting.size(), 1U);
  EXPECT_EQ(waiting[0].rfind("token library call SKF_EnumDev has not returned for 0.", 0), 0U) << waiting[0];
  release.set_value();
  tokenThread.join();
  const std::vector<std::string> lines = captured();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[1].rfind("SKF_EnumDev returned after ", 0), 0U) << lines[1];
  // The next call starts afresh: nothing to report while it is quick.
  token::watched("SKF_EnumDev", [] { return 0; });
  EXPECT_FALSE(token::reportStuckCall(std::chrono::milliseconds(200)));
  EXPECT_EQ(captured().size(), 2U);
}

}  // namespace
