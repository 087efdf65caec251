// SPDX-License-Identifier: MIT
// A process changing the PIN is killed with SIGKILL at random moments, over and over. After every
// kill the state file must parse and hold the PIN from just before or just after the change that
// was under way, never anything else.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "tests/softtoken/token_fixture.h"

namespace {

constexpr int kRounds = 60;

std::string pinNumber(int i) {
  char pin[16];
  std::snprintf(pin, sizeof pin, "pin%06d", i);
  return pin;
}

int pinIndex(const std::string& pin) {
  int i = -1;
  return std::sscanf(pin.c_str(), "pin%d", &i) == 1 ? i : -1;
}

// Child: announces each change i -> i+1 on the pipe before making it, then makes it; runs until
// killed. Exit 1 when a change is refused, which would mean the file lost an earlier one.
[[noreturn]] void changeForever(int from, int pipeOut) {
  DEVHANDLE device = nullptr;
  HAPPLICATION app = nullptr;
  char name[] = "TOKENBRIDGE";
  if (SKF_ConnectDev(kDeviceName, &device) != SAR_OK || SKF_OpenApplication(device, name, &app) != SAR_OK) _exit(2);
  for (int i = from;; ++i) {
    if (write(pipeOut, &i, sizeof i) != sizeof i) _exit(3);
    std::string oldPin = pinNumber(i);
    std::string newPin = pinNumber(i + 1);
    ULONG count = 0;
    if (SKF_ChangePIN(app, USER_TYPE, oldPin.data(), newPin.data(), &count) != SAR_OK) _exit(1);
  }
}

TEST_F(TokenTest, KilledWriterLeavesTheOldOrTheNewPin) {
  edit([](softtoken::TokenState& s) { s.user_.pin_ = pinNumber(0); });
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicroseconds(0, 5000);
  int current = 0;
  int changesSeen = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeEnds[0]);
      changeForever(current, pipeEnds[1]);
    }
    close(pipeEnds[1]);
    // Wait for the first change to begin, so the kill lands inside the run of changes and not in
    // the child's start-up, then let it run for a random while.
    int announced = -1;
    ASSERT_EQ(read(pipeEnds[0], &announced, sizeof announced), static_cast<ssize_t>(sizeof announced));
    usleep(static_cast<useconds_t>(delayMicroseconds(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << WEXITSTATUS(status);

    // The last change announced is the one that may have been under way.
    for (int i; read(pipeEnds[0], &i, sizeof i) == sizeof i;) announced = i;
    close(pipeEnds[0]);

    // The file exactly as it is on disk, without the library's lock or checks in between.
    const std::optional<softtoken::TokenState> state = softtoken::parseState(readFile(statePath()));
    ASSERT_TRUE(state.has_value()) << "the state file does not parse: " << readFile(statePath());
    const int found = pinIndex(state->user_.pin_);
    EXPECT_TRUE(found == announced || found == announced + 1)
        << "PIN " << state->user_.pin_ << " after change " << announced << " -> " << announced + 1;
    EXPECT_EQ(state->user_.tries_, state->user_.maximum_);
    changesSeen += found - current;
    current = found;
  }
  // The next write clears the temporary files the killed writers left behind.
  edit([](softtoken::TokenState& s) { s.present_ = true; });
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
  std::printf("crash test: %d rounds, %d PIN changes committed between kills\n", kRounds, changesSeen);
}

}  // namespace
