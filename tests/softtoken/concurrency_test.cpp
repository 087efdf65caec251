// SPDX-License-Identifier: MIT
// Two processes change the state at once: one changes the user PIN through the library again and
// again while the command plugs and unplugs the token. No update of either may be lost.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/softtoken/token_fixture.h"
#include "tests/support/target_program.h"

namespace {

constexpr int kPinChanges = 150;
constexpr int kPlugCycles = 100;
constexpr int kAttemptLimit = 1000000;

std::string pinNumber(int i) {
  char pin[16];
  std::snprintf(pin, sizeof pin, "pin%06d", i);
  return pin;
}

// One attempt of the daemon's course: connect, open, change from pin i to pin i+1, close.
ULONG changeOnce(int i) {
  DEVHANDLE device = nullptr;
  ULONG rv = SKF_ConnectDev(kDeviceName, &device);
  if (rv != SAR_OK) return rv;
  char names[256] = {};
  ULONG size = sizeof names;
  HAPPLICATION app = nullptr;
  rv = SKF_EnumApplication(device, names, &size);
  if (rv == SAR_OK) rv = SKF_OpenApplication(device, names, &app);
  if (rv == SAR_OK) {
    std::string oldPin = pinNumber(i);
    std::string newPin = pinNumber(i + 1);
    ULONG count = 0;
    rv = SKF_ChangePIN(app, USER_TYPE, oldPin.data(), newPin.data(), &count);
    SKF_CloseApplication(app);
  }
  SKF_DisConnectDev(device);
  return rv;
}

// Child: the PIN changes. Exit 0 when all are done, 1 when the PIN it had set was gone (a lost
// update), 2 when the token never came back.
[[noreturn]] void changePins() {
  int done = 0;
  for (int attempt = 0; attempt < kAttemptLimit && done < kPinChanges; ++attempt) {
    const ULONG rv = changeOnce(done);
    if (rv == SAR_OK) ++done;
    if (rv == SAR_PIN_INCORRECT || rv == SAR_PIN_LOCKED) _exit(1);
  }
  _exit(done == kPinChanges ? 0 : 2);
}

// Child: unplug and plug through the command, ending plugged in. Exit 0 when every run succeeded.
[[noreturn]] void plugCycles() {
  for (int i = 0; i < 2 * kPlugCycles; ++i) {
    const char* command = i % 2 == 0 ? "unplug" : "plug";
    const testsupport::TargetCommand softtoken(SOFTTOKEN_COMMAND, {command});
    const pid_t pid = fork();
    if (pid == 0) {
      softtoken.exec();
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) _exit(1);
  }
  _exit(0);
}

int exitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(TokenTest, PinChangesAndPlugCyclesFromTwoProcessesAreAllKept) {
  edit([](softtoken::TokenState& s) { s.user_.pin_ = pinNumber(0); });
  const std::uint64_t epochBefore = load().epoch_;
  const pid_t changer = fork();
  ASSERT_GE(changer, 0);
  if (changer == 0) changePins();
  const pid_t plugger = fork();
  ASSERT_GE(plugger, 0);
  if (plugger == 0) plugCycles();

  EXPECT_EQ(exitCode(plugger), 0) << "a plug or unplug run failed";
  EXPECT_EQ(exitCode(changer), 0) << "1: a PIN change was lost; 2: the PIN changes never finished";
  const softtoken::TokenState state = load();
  EXPECT_EQ(state.user_.pin_, pinNumber(kPinChanges));
  EXPECT_EQ(state.user_.tries_, state.user_.maximum_);
  EXPECT_TRUE(state.present_);
  // Every plug after an unplug counted once: no plug was overwritten by a PIN write.
  EXPECT_EQ(state.epoch_, epochBefore + kPlugCycles);
}

}  // namespace
