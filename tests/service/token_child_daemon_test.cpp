// SPDX-License-Identifier: MIT
// The real daemon's token process under the software token's fault modes, over real sockets: a
// crash mid-call, a call stuck past token-call-timeout, a library that crashes at every call, and
// where the library is mapped. The daemon's system log goes to a socket of the test's (a private
// /dev, so root only), so each case also checks the operator's line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/daemon_control.h"
#include "tests/service/expected_replies.h"
#include "tests/support/target_program.h"
#include "tests/support/ws_client.h"

namespace {

using namespace std::chrono_literals;
using testdaemon::kServicePort;

const std::string kPresent = R"({"type":"GetDevState", "code":"0", "data":"1"})";
const std::string kAbsent = R"({"type":"GetDevState", "code":"1", "data":"0"})";
const std::string kDevState = R"({"type":"GetDevState"})";
const std::string kVersion = R"({"type":"GetLibVersion"})";

std::string readReply(testsupport::RawClient& client, int timeoutMs = 5000) {
  const auto frame = client.readFrame(timeoutMs);
  return frame ? frame->payload : "<no reply>";
}

std::string ask(testsupport::RawClient& client, const std::string& json, int timeoutMs = 5000) {
  if (!client.send(testsupport::textFrame(json))) return "<send failed>";
  return readReply(client, timeoutMs);
}

bool mapsName(pid_t pid, const std::string& text) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class TokenChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev holding the test's /dev/log";
    ASSERT_EQ(testdaemon::pidListeningOn(kServicePort), 0) << "port 9446 is in use; stop what listens there first";
    std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridged-child-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    state_ = directory_ + "/state.json";
    setenv("SOFTTOKEN_STATE", state_.c_str(), 1);
    ASSERT_TRUE(softtoken("init"));
    log_ = std::make_unique<testdaemon::LogCatcher>(directory_);
    ASSERT_TRUE(log_->ready());
  }
  void TearDown() override {
    if (stopper_.pid != 0) testdaemon::signalAndWait(stopper_.pid, SIGTERM, 5s);
    stopper_.pid = 0;
    log_.reset();
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

  static bool softtoken(const std::string& arguments) {
    const std::string command = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " " + arguments + " >/dev/null";
    return std::system(command.c_str()) == 0;
  }

  void startDaemon(const std::string& settings = "") {
    const std::string config = directory_ + "/tokenbridged.conf";
    std::ofstream(config) << settings;
    const testdaemon::StartResult started =
        testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}}, {"--config", config}, log_.get());
    if (started.exitStatus == 125) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    daemon_ = stopper_.pid = testdaemon::pidListeningOn(kServicePort);
    ASSERT_NE(daemon_, 0);
    ASSERT_FALSE(log_->waitFor({"started"}, 5s).empty()) << "no start line in the log";
  }

  // The daemon's one child, the starter, and its one child, the token process.
  pid_t starter() const { return onlyChildOf(daemon_); }
  pid_t child() const {
    const pid_t parent = starter();
    return parent != 0 ? onlyChildOf(parent) : 0;
  }

  static pid_t onlyChildOf(pid_t parent) {
    const std::vector<pid_t> children = testdaemon::childrenOf(parent);
    return children.size() == 1 ? children[0] : 0;
  }

  // A child other than before, once it is there.
  pid_t newChild(pid_t before) const {
    for (int i = 0; i < 250; ++i) {
      const pid_t now = child();
      if (now != 0 && now != before) return now;
      std::this_thread::sleep_for(20ms);
    }
    return 0;
  }

  std::string directory_;
  std::string state_;
  std::unique_ptr<testdaemon::LogCatcher> log_;
  pid_t daemon_ = 0;
  testdaemon::Stopper stopper_;
};

// The page whose call crashed gets its command's no-token reply; a request queued behind it and
// another page are served by a new token process; the daemon is the same process and its log names
// the signal and the function.
TEST_F(TokenChild, CrashMidCallCostsOnlyThatReply) {
  struct Case {
    const char* function;
    std::string request;
    std::string withoutToken;
  };
  const Case cases[] = {
      {"SKF_EnumDev", kDevState, kAbsent},
      {"SKF_GetDevInfo", R"({"type":"GetUserName"})", R"({"type":"GetUserName", "code":"1", "data":""})"},
      {"SKF_VerifyPIN", R"({"type":"VerifyUserPin","parm2":"12345678"})",
       R"({"type":"VerifyUserPin", "code":"1", "data":"0"})"},
  };
  startDaemon();
  testsupport::RawClient crashing;
  testsupport::RawClient other;
  ASSERT_TRUE(crashing.open(kServicePort));
  ASSERT_TRUE(other.open(kServicePort));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    const pid_t before = child();
    ASSERT_NE(before, 0);
    // A process that dies within a second of its start counts as dying quickly (the second such
    // death in a row pauses the restarts, the back-off test's case): this one has lived longer.
    std::this_thread::sleep_for(1100ms);
    ASSERT_TRUE(softtoken(std::string("crash ") + c.function + " --once"));
    ASSERT_TRUE(crashing.send(testsupport::textFrame(c.request)));
    // Queued behind the crash (not a presence check, which would share the crashing one's).
    ASSERT_TRUE(other.send(testsupport::textFrame(R"({"type":"GetUserName"})")));
    EXPECT_EQ(readReply(crashing), c.withoutToken);
    EXPECT_EQ(readReply(other), R"({"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"})");
    const pid_t after = newChild(before);
    EXPECT_NE(after, 0);
    EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), daemon_);
    EXPECT_NE(log_->waitFor({"token process " + std::to_string(before), "signal 11 (SIGSEGV)", std::string("in ") + c.function},
                            3s),
              "");
    // Both pages keep their connections.
    EXPECT_EQ(ask(crashing, kDevState), kPresent);
    EXPECT_EQ(ask(other, kVersion), expected::kVersionReply);
  }
}

TEST_F(TokenChild, CallStuckPastTheTimeoutIsAnsweredAndItsProcessReplaced) {
  startDaemon("token-call-timeout = 2\n");
  testsupport::RawClient page;
  testsupport::RawClient other;
  ASSERT_TRUE(page.open(kServicePort));
  ASSERT_TRUE(other.open(kServicePort));
  const pid_t before = child();
  ASSERT_NE(before, 0);
  ASSERT_TRUE(softtoken("stick SKF_EnumDev"));
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(page.send(testsupport::textFrame(kDevState)));
  EXPECT_EQ(ask(other, kVersion), expected::kVersionReply);  // answered meanwhile
  EXPECT_EQ(readReply(page, 10000), kAbsent);
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_GE(took, 2s);
  EXPECT_LT(took, 5s);
  EXPECT_NE(log_->waitFor({"SKF_EnumDev", "token process " + std::to_string(before), "token-call-timeout"}, 3s), "");
  ASSERT_TRUE(softtoken("release SKF_EnumDev"));
  EXPECT_EQ(ask(page, kDevState), kPresent);
  EXPECT_NE(newChild(before), 0);
  EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), daemon_);
}

// A library that crashes at every call: token processes that die quickly are restarted after a
// growing pause, token requests meanwhile are answered at once, and the daemon does not spin.
TEST_F(TokenChild, LibraryCrashingAtEveryCallBacksOffWithoutSpinning) {
  startDaemon();
  testsupport::RawClient page;
  ASSERT_TRUE(page.open(kServicePort));
  ASSERT_TRUE(softtoken("crash SKF_EnumDev"));
  // The token processes' time counts to their parent, the starter, once it has reaped them.
  const pid_t starterNow = starter();
  ASSERT_NE(starterNow, 0);
  const long long ticksBefore = testdaemon::cpuTicks(daemon_) + testdaemon::cpuTicks(starterNow);
  const auto began = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration slowest{};
  int asked = 0;
  while (std::chrono::steady_clock::now() - began < 10s) {
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(page, kDevState), kAbsent);
    slowest = std::max(slowest, std::chrono::steady_clock::now() - sent);
    ++asked;
    std::this_thread::sleep_for(50ms);
  }
  const long long ticks = testdaemon::cpuTicks(daemon_) + testdaemon::cpuTicks(starterNow) - ticksBefore;
  const double cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  const std::size_t deaths = log_->count("signal 11 (SIGSEGV) in SKF_EnumDev");
  std::printf("[ figures  ] %d requests in 10 s, %zu token processes crashed, daemon CPU (with its children) %.2f s, "
              "slowest reply %lld ms\n",
              asked, deaths, cpuSeconds,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
  // Pauses of 1, 2, 4, 8 s: a handful of restarts, not one per request.
  EXPECT_GE(deaths, 3u);
  EXPECT_LE(deaths, 8u);
  EXPECT_GT(asked, 50);
  EXPECT_LT(cpuSeconds, 1.0);
  EXPECT_NE(log_->waitFor({"a new one starts in", "token requests are answered as without a token"}, 1s), "");
  EXPECT_EQ(ask(page, kVersion), expected::kVersionReply);
  EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), daemon_);
}

TEST_F(TokenChild, OnlyTheTokenProcessMapsTheLibrary) {
  startDaemon();
  testsupport::RawClient page;
  ASSERT_TRUE(page.open(kServicePort));
  EXPECT_EQ(ask(page, kDevState), kPresent);  // the library has been called, not only loaded
  const pid_t token = child();
  ASSERT_NE(token, 0);
  EXPECT_TRUE(mapsName(token, "libkv_5100rt.so"));
  EXPECT_FALSE(mapsName(daemon_, "libkv_5100rt.so"));
  EXPECT_FALSE(mapsName(starter(), "libkv_5100rt.so"));
  EXPECT_EQ(testdaemon::statusField(token, "Name"), "tokenbridged-tk");
  EXPECT_EQ(testdaemon::statusField(starter(), "Name"), "tokenbridged-st");
}

// The network process gives up the file system after its start (where the kernel has Landlock);
// the token processes, forked by the starter before that, are not confined by it: one started
// after the confinement (the crash test's) loads the library and reads the token's state.
TEST_F(TokenChild, NetworkProcessConfinesItsFilesAndItsNextTokenProcessIsNotConfined) {
  startDaemon();
  const std::string confined = log_->waitFor({"network process: files confined (Landlock version "}, 2s);
  if (confined.empty()) {
    const std::string without = log_->waitFor({"network process: runs without its file confinement: "}, 1s);
    ASSERT_FALSE(without.empty()) << "no line on the network process's confinement";
    EXPECT_NE(without.find("Landlock"), std::string::npos) << without;
    GTEST_SKIP() << without;
  }
  EXPECT_NE(confined.find("no device but /dev/null, no library folder"), std::string::npos) << confined;
  const pid_t before = child();
  ASSERT_NE(before, 0);
  ASSERT_EQ(::kill(before, SIGKILL), 0);
  ASSERT_NE(newChild(before), 0);
  testsupport::RawClient page;
  ASSERT_TRUE(page.open(kServicePort));
  EXPECT_EQ(ask(page, kDevState), kPresent);
  EXPECT_EQ(ask(page, R"({"type":"GetUserName"})"), R"({"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"})");
}

// A library that opens an Internet socket is refused it in the token process (its call then
// fails, so the token reads as absent), where the kernel takes the filter; the log says which.
TEST_F(TokenChild, TheTokenProcessCannotOpenInternetSockets) {
  ASSERT_TRUE(softtoken("quirk opens-network on"));
  startDaemon();
  testsupport::RawClient page;
  ASSERT_TRUE(page.open(kServicePort));
  const std::string filtered = log_->waitFor({"token process: Internet sockets refused"}, 2s);
  if (filtered.empty()) {
    const std::string without = log_->waitFor({"token process: runs without its socket filter"}, 1s);
    ASSERT_FALSE(without.empty()) << "no line on the token process's confinement";
    GTEST_SKIP() << without;
  }
  EXPECT_EQ(ask(page, kDevState), kAbsent);
  // The same library call, with the quirk off, reads the token as present: only the socket failed.
  ASSERT_TRUE(softtoken("quirk opens-network off"));
  EXPECT_EQ(ask(page, kDevState), kPresent);
}

}  // namespace
