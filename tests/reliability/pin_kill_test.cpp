// SPDX-License-Identifier: MIT
// The software token's state file under SIGKILL: the real daemon changes the user PIN again and
// again (a cycle of three PINs) and is killed at a random moment. After every kill the file must
// parse as a whole token that holds the PIN before the change in flight or the one after it:
// never a torn file, never a PIN that was acknowledged and then lost, never a third value.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "softtoken/token_state.h"
#include "tests/service/daemon_control.h"
#include "tests/support/target_program.h"
#include "tests/support/ws_client.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPins[] = {"12345678", "87654321", "11223344"};
constexpr auto kBudget = std::chrono::seconds(20);

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int pinIndex(const std::string& pin) {
  for (int i = 0; i < 3; ++i) {
    if (pin == kPins[i]) return i;
  }
  return -1;
}

class PinStateUnderKill : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "pin-kill-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    state_ = directory_ / "state.json";
    const std::string softtoken = testsupport::targetShellCommand("'" SOFTTOKEN_COMMAND "'");
    const std::string init =
        "SOFTTOKEN_STATE='" + state_.string() + "' " + softtoken + " init --user-pin " + kPins[0] + " >/dev/null";
    ASSERT_EQ(std::system(init.c_str()), 0);
  }
  void TearDown() override {
    if (pid_ > 0) testdaemon::signalAndWait(pid_, SIGKILL, std::chrono::seconds(5));
    fs::remove_all(directory_);
  }

  // Changes the PIN from the one at `index` to the next, one request at a time, until the daemon
  // is gone; `index` follows every change the daemon acknowledged.
  void changeUntilKilled(std::atomic<int>& index, std::atomic<int>& acknowledged) {
    testsupport::RawClient client;
    if (!client.open(testdaemon::kServicePort)) return;  // killed before it answered the upgrade
    for (;;) {
      const int from = index;
      const std::string request = std::string(R"({"type":"ChangeUserPin","parm1":")") + kPins[from] +
                                  R"(","parm2":")" + kPins[(from + 1) % 3] + "\"}";
      if (!client.send(testsupport::textFrame(request))) return;
      const std::optional<testsupport::ReceivedFrame> reply = client.readFrame(5000);
      if (!reply) return;
      ASSERT_EQ(reply->payload, R"({"type":"ChangeUserPin", "code":"0", "data":"-1"})") << "from " << kPins[from];
      index = (from + 1) % 3;
      ++acknowledged;
    }
  }

  fs::path directory_;
  fs::path state_;
  pid_t pid_ = 0;
};

TEST_F(PinStateUnderKill, FileHoldsThePinBeforeOrAfterTheChangeInFlight) {
  ASSERT_EQ(testdaemon::pidListeningOn(testdaemon::kServicePort), 0) << "port 9446 is in use";
  std::mt19937_64 random(std::random_device{}());
  std::atomic<int> index{0};
  int rounds = 0, landedInFlight = 0, acknowledgedTotal = 0, mostTemporaries = 0;
  const auto end = Clock::now() + kBudget;

  while (Clock::now() < end) {
    const testdaemon::StartResult started = testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_.string()}});
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    pid_ = testdaemon::pidListeningOn(testdaemon::kServicePort);
    ASSERT_NE(pid_, 0);

    std::atomic<int> acknowledged{0};
    std::thread changer([&] { changeUntilKilled(index, acknowledged); });
    // Anywhere from before the first request to a few dozen changes in.
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 60000)(random)));
    ASSERT_TRUE(testdaemon::signalAndWait(pid_, SIGKILL, std::chrono::seconds(5)));
    pid_ = 0;
    changer.join();
    if (HasFatalFailure()) return;
    ++rounds;
    acknowledgedTotal += acknowledged;

    const std::optional<softtoken::TokenState> state = softtoken::parseState(readFile(state_));
    ASSERT_TRUE(state.has_value()) << "round " << rounds << ": the state file does not hold a valid token:\n"
                                   << readFile(state_);
    const int found = pinIndex(state->user_.pin_);
    const int before = index;
    const int after = (before + 1) % 3;
    ASSERT_TRUE(found == before || found == after)
        << "round " << rounds << ": user PIN " << state->user_.pin_ << ", expected " << kPins[before] << " or "
        << kPins[after];
    // Every PIN presented was right, so no try may have been used up; the rest is untouched.
    EXPECT_EQ(state->user_.tries_, state->user_.maximum_) << "round " << rounds;
    EXPECT_EQ(state->admin_.pin_, "admin12345");
    EXPECT_EQ(state->serial_, "TB0123456789ABCDEF01");
    EXPECT_TRUE(state->present_);
    if (found == after) {
      ++landedInFlight;  // the change was written but its reply never left
      index = after;
    }
    // A kill mid-write leaves the writer's temporary file; the software token clears such files
    // at its next write, so they are counted here, not removed.
    int temporaries = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory_)) {
      temporaries += entry.path().filename().string().starts_with("state.json.tmp");
    }
    mostTemporaries = std::max(mostTemporaries, temporaries);
  }
  EXPECT_GE(rounds, 10) << "too few rounds in " << kBudget.count() << " s to say anything";
  std::printf("rounds %d, changes acknowledged %d, kills after a write whose reply was lost %d, "
              "most temporary files beside the state after a kill %d\n",
              rounds, acknowledgedTotal, landedInFlight, mostTemporaries);
}

}  // namespace
