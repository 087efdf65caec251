// SPDX-License-Identifier: MIT
// The dispatcher in front of a real token process over real sockets, the software token wedged
// ("stick") to keep it busy: other connections are served meanwhile, a held connection's replies
// keep the order of its requests, waiting pollers share one presence check, a call that does not
// return is logged and, past the time allowed, its process ended and replaced.
#include "service/token_process.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/server.h"
#include "service/dispatcher.h"
#include "tests/service/expected_replies.h"
#include "tests/support/target_program.h"
#include "tests/support/ws_client.h"

namespace {

using namespace std::chrono_literals;

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

const std::string kPresent = expected::reply("GetDevState", "0", "1");
const std::string kAbsent = expected::reply("GetDevState", "1", "0");
const std::string kCheck = testsupport::textFrame(R"({"type":"GetDevState"})");

std::string payloadOf(testsupport::RawClient& client, int timeoutMs) {
  const auto frame = client.readFrame(timeoutMs);
  return frame ? frame->payload : "<nothing>";
}

// A loop with the dispatcher and its token process, on a software token of the test's own.
class WithTokenProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "token-process-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    state_ = directory_ + "/state.json";
    setenv("SOFTTOKEN_STATE", state_.c_str(), 1);
    ASSERT_TRUE(softtoken("init"));
    g_lines.clear();
  }

  void TearDown() override {
    stopLoop();
    std::filesystem::remove_all(directory_);
  }

  void startLoop(TokenProcess::Settings settings = {}) {
    settings.log = capture;
    ASSERT_FALSE(server_.listen(0));
    process_ = std::make_unique<TokenProcess>(server_.context(), settings);
    ASSERT_EQ(process_->start(), "");
    setTokenProcess(process_.get());
    loop_ = std::thread([this] { server_.run(); });
  }

  void stopLoop() {
    if (!loop_.joinable()) return;
    server_.stop();
    loop_.join();
    setTokenProcess(nullptr);
    process_.reset();
  }

  static bool softtoken(const std::string& arguments) {
    const std::string command = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " " + arguments + " >/dev/null";
    return std::system(command.c_str()) == 0;
  }

  long countedCalls(const std::string& function) {
    std::ifstream file(state_);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t calls = text.find("\"calls\"");
    const std::size_t entry = calls == std::string::npos ? calls : text.find("\"" + function + "\" : ", calls);
    if (entry == std::string::npos) return -1;
    return std::stol(text.substr(entry + function.size() + 5));
  }

  bool waitFor(auto condition, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return condition();
  }

  std::string directory_;
  std::string state_;
  net::Server server_{ev_handler};
  std::unique_ptr<TokenProcess> process_;
  std::thread loop_;
};

TEST_F(WithTokenProcess, OthersAreAnsweredWhileTheTokenIsBusyAndEachConnectionKeepsItsOrder) {
  startLoop();
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  testsupport::RawClient held;
  testsupport::RawClient other;
  ASSERT_TRUE(held.open(server_.port()));
  ASSERT_TRUE(other.open(server_.port()));
  // One write: a token request, then requests that need no token.
  ASSERT_TRUE(held.send(kCheck + testsupport::textFrame(R"({"type":"GetLibVersion"})") +
                        testsupport::textFrame(R"({"type":"Foo"})")));
  // The other connection is not held back by the first one's wait.
  ASSERT_TRUE(other.send(testsupport::textFrame(R"({"type":"GetLibVersion"})")));
  EXPECT_EQ(payloadOf(other, 2000), expected::kVersionReply);
  ASSERT_TRUE(other.send(testsupport::textFrame(R"({"type":"StartMonitor"})")));
  EXPECT_EQ(payloadOf(other, 2000), R"({"type":"StartMonitor", "code":"0", "data":"true"})");
  // Nothing for the held connection while its request waits, not even the requests behind it.
  EXPECT_EQ(payloadOf(held, 200), "<nothing>");
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  EXPECT_EQ(payloadOf(held, 5000), kPresent);
  EXPECT_EQ(payloadOf(held, 2000), expected::kVersionReply);
  EXPECT_EQ(payloadOf(held, 2000), R"({"type":"Foo", "code":"-1", "data":"-1097"})");
}

TEST_F(WithTokenProcess, PollingConnectionsShareOnePresenceCheck) {
  startLoop();
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  testsupport::RawClient gate;
  ASSERT_TRUE(gate.open(server_.port()));
  ASSERT_TRUE(gate.send(kCheck));
  std::vector<testsupport::RawClient> pollers(4);
  for (auto& poller : pollers) {
    ASSERT_TRUE(poller.open(server_.port()));
    ASSERT_TRUE(poller.send(kCheck));
  }
  // All four reach the queue while the gate's check is at the token; then each gets one answer.
  ASSERT_TRUE(waitFor([&] { return process_->queued() == pollers.size(); }));
  ASSERT_TRUE(softtoken("count SKF_EnumDev"));
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  EXPECT_EQ(payloadOf(gate, 5000), kPresent);
  for (auto& poller : pollers) EXPECT_EQ(payloadOf(poller, 5000), kPresent);
  EXPECT_EQ(process_->queued(), 0U);
  // Two checks (the gate's, then the pollers' one), two SKF_EnumDev calls each.
  EXPECT_EQ(countedCalls("SKF_EnumDev"), 4);
}

TEST_F(WithTokenProcess, StuckCallIsLoggedOnceWhileItWaitsAndOnceWhenItReturns) {
  startLoop({.callTimeout = 0ms, .stuckAfter = 200ms, .tick = 10ms});
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(server_.port()));
  for (int quick = 0; quick < 20; ++quick) {
    ASSERT_TRUE(client.send(kCheck));
    ASSERT_EQ(payloadOf(client, 3000), kPresent);
  }
  EXPECT_EQ(captured(), std::vector<std::string>{});
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  ASSERT_TRUE(client.send(kCheck));
  // Well past the threshold: still one line, not one per look; no limit, so nothing is ended.
  std::this_thread::sleep_for(1000ms);
  const std::vector<std::string> waiting = captured();
  ASSERT_EQ(waiting.size(), 1U);
  EXPECT_EQ(waiting[0].rfind("token library call SKF_EnumDev has not returned for 0.", 0), 0U) << waiting[0];
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  EXPECT_EQ(payloadOf(client, 5000), kPresent);
  ASSERT_TRUE(waitFor([] { return captured().size() >= 2; }));
  const std::vector<std::string> lines = captured();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[1].rfind("SKF_EnumDev returned after ", 0), 0U) << lines[1];
}

TEST_F(WithTokenProcess, CallPastTheTimeoutEndsItsProcessAndTheNextJobGoesToANewOne) {
  startLoop({.callTimeout = 300ms, .stuckAfter = 50ms, .tick = 10ms});
  const pid_t first = process_->pid();
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  testsupport::RawClient stuck;
  testsupport::RawClient waiting;
  ASSERT_TRUE(stuck.open(server_.port()));
  ASSERT_TRUE(waiting.open(server_.port()));
  ASSERT_TRUE(stuck.send(kCheck));
  ASSERT_TRUE(waitFor([] { return !captured().empty(); }));  // its call is at the token
  ASSERT_TRUE(waiting.send(testsupport::textFrame(R"({"type":"VerifyUserPin","parm2":"12345678"})")));
  // The wedged call's page gets the reply without a token; the job queued behind it was never run
  // and goes to the new process, where the token is still wedged: it too is ended in time.
  EXPECT_EQ(payloadOf(stuck, 3000), kAbsent);
  EXPECT_EQ(payloadOf(waiting, 3000), expected::reply("VerifyUserPin", "1", "0"));
  const std::vector<std::string> lines = captured();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0].rfind("token library call SKF_EnumDev has not returned for 0.", 0), 0U) << lines[0];
  EXPECT_NE(lines[1].find("SKF_EnumDev has not returned for 0."), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("is ended (token-call-timeout)"), std::string::npos) << lines[1];
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  ASSERT_TRUE(stuck.send(kCheck));
  EXPECT_EQ(payloadOf(stuck, 3000), kPresent);
  EXPECT_NE(process_->pid(), first);
  EXPECT_NE(process_->pid(), 0);
  EXPECT_EQ(::kill(first, 0), -1) << "the ended process is gone and reaped";
}

// Jobs go out ahead of the running one (the window), so the child goes on without waiting for the
// daemon; a crash mid-call answers the running job as without a token, and the jobs sent ahead,
// never started, are served by the new process. Meanwhile the loop yields to the child (SCHED_BATCH),
// and returns to its usual policy once nothing is out.
TEST_F(WithTokenProcess, JobsSentAheadOfACrashedCallGoToTheNewProcessUnrun) {
  startLoop();
  pid_t loopThread = 0;
  asio::post(server_.context(), [&] { loopThread = ::gettid(); });
  ASSERT_TRUE(waitFor([&] { return loopThread != 0; }));
  EXPECT_EQ(::sched_getscheduler(loopThread), SCHED_OTHER);
  EXPECT_EQ(::sched_getscheduler(process_->pid()), SCHED_BATCH);
  const pid_t first = process_->pid();
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  testsupport::RawClient crashed;
  ASSERT_TRUE(crashed.open(server_.port()));
  ASSERT_TRUE(crashed.send(kCheck));
  ASSERT_TRUE(waitFor([&] { return ::sched_getscheduler(loopThread) == SCHED_BATCH; }));
  const std::vector<std::pair<std::string, std::string>> ahead = {
      {"hello, token!!!", "EAF26E21922421E3EC35B7CA595B956424C3769B"},
      {"abcdefghijklmnop", "2938DCC2E3AA77987C7E5D4A0F26966706D06782"},
  };
  std::vector<testsupport::RawClient> clients(ahead.size());
  for (std::size_t i = 0; i < ahead.size(); ++i) {
    ASSERT_TRUE(clients[i].open(server_.port()));
    ASSERT_TRUE(clients[i].send(testsupport::textFrame(R"({"type":"ZPSHA1","parm1":")" + ahead[i].first + "\"}")));
  }
  // Both sent: none waits in the daemon's queue while the check is stuck at the token.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(process_->queued(), 0U);
  ASSERT_EQ(::kill(first, SIGSEGV), 0);
  EXPECT_EQ(payloadOf(crashed, 3000), kAbsent);
  ASSERT_TRUE(waitFor([&] { return process_->pid() != first && process_->pid() != 0; }));
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  for (std::size_t i = 0; i < ahead.size(); ++i) {
    EXPECT_EQ(payloadOf(clients[i], 5000), expected::reply("ZPSHA1", "0", ahead[i].second)) << ahead[i].first;
  }
  const std::vector<std::string> lines = captured();
  ASSERT_EQ(lines.size(), 1U);
  // The signal the test sends is SIGSEGV; under the address sanitizer its own handler turns that
  // into an abort, so only "a signal" is checked here (the daemon tests check the signal's name).
  EXPECT_NE(lines[0].find("was ended by signal "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(" in SKF_EnumDev; its request was answered as without a token"), std::string::npos)
      << lines[0];
  EXPECT_TRUE(waitFor([&] { return ::sched_getscheduler(loopThread) == SCHED_OTHER; }));
}

// The starter is the token processes' parent; killed from outside, no token process can be started
// again. The daemon is told (it stops, for its service manager to start it anew); until then the
// running job and the queued ones are answered as without a token, and requests without the token
// still are served. Ending the token process also ends the starter and its child, both reaped.
std::atomic<int> g_starterGone{0};

TEST_F(WithTokenProcess, StarterKilledFromOutsideIsReportedAndTokenJobsAreAnsweredWithoutAToken) {
  g_starterGone = 0;
  startLoop({.starterGone = [] { ++g_starterGone; }});
  const pid_t starter = process_->starterPid();
  const pid_t child = process_->pid();
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  testsupport::RawClient running;
  testsupport::RawClient queued;
  ASSERT_TRUE(running.open(server_.port()));
  ASSERT_TRUE(queued.open(server_.port()));
  ASSERT_TRUE(running.send(kCheck));
  ASSERT_TRUE(queued.send(testsupport::textFrame(R"({"type":"ZPSHA1","parm1":"abc"})")));
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(::kill(starter, SIGKILL), 0);
  EXPECT_EQ(payloadOf(running, 3000), kAbsent);
  EXPECT_EQ(payloadOf(queued, 3000), expected::reply("ZPSHA1", "1", ""));
  EXPECT_TRUE(waitFor([] { return g_starterGone == 1; }));
  EXPECT_TRUE(waitFor([&] { return ::kill(child, 0) == -1; })) << "the token process ends with its starter";
  ASSERT_TRUE(running.send(kCheck));
  EXPECT_EQ(payloadOf(running, 3000), kAbsent);
  ASSERT_TRUE(running.send(testsupport::textFrame(R"({"type":"GetLibVersion"})")));
  EXPECT_EQ(payloadOf(running, 3000), expected::kVersionReply);
  const std::vector<std::string> lines = captured();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "the token starter has gone: no token process can be started");
  EXPECT_EQ(g_starterGone, 1);
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
}

TEST_F(WithTokenProcess, EndingItEndsTheStarterAndTheTokenProcess) {
  startLoop();
  const pid_t starter = process_->starterPid();
  const pid_t child = process_->pid();
  ASSERT_GT(starter, 0);
  ASSERT_GT(child, 0);
  stopLoop();
  EXPECT_EQ(::kill(starter, 0), -1) << "the starter is gone and reaped";
  EXPECT_TRUE(waitFor([&] { return ::kill(child, 0) == -1; })) << "its token process is gone";
}

}  // namespace
