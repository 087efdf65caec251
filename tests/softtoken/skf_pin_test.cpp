// SPDX-License-Identifier: MIT
// PIN calls through the library: retry counters, locking, reset by a right PIN, unblocking, length
// limits and PIN types, each checked in the reply and in the state file afterwards.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "tests/softtoken/token_fixture.h"

namespace {

enum class Call { Verify, Change, Unblock };

constexpr ULONG kUntouched = 0xC0FFEE;  // the caller's count before the call

struct PinCase {
  const char* name;
  ULONG userTries;   // before the call (maximum 6; user PIN "12345678")
  ULONG adminTries;  // before the call (maximum 10; admin PIN "admin12345")
  Call call;
  ULONG type;        // Verify and Change only
  const char* first;
  const char* second;  // new PIN for Change and Unblock
  ULONG rv;
  ULONG count;  // *pulRetryCount afterwards
  const char* userPinAfter;
  ULONG userTriesAfter;
  const char* adminPinAfter;
  ULONG adminTriesAfter;
};

// 16 and 17 characters: the longest PIN allowed and one too many.
constexpr const char* k16 = "1234567890123456";
constexpr const char* k17 = "12345678901234567";

// clang-format off
const PinCase kCases[] = {
  // name                                     user admin call          type        first           second       rv                     count       user PIN      u   admin PIN     a
  {"verify: right PIN resets the counter",     3, 10, Call::Verify,  USER_TYPE,  "12345678",     nullptr,     SAR_OK,                kUntouched, "12345678",   6, "admin12345", 10},
  {"verify: wrong PIN costs a try",            6, 10, Call::Verify,  USER_TYPE,  "87654321",     nullptr,     SAR_PIN_INCORRECT,     5,          "12345678",   5, "admin12345", 10},
  {"verify: wrong 6-character PIN counts",     6, 10, Call::Verify,  USER_TYPE,  "123456",       nullptr,     SAR_PIN_INCORRECT,     5,          "12345678",   5, "admin12345", 10},
  {"verify: wrong 16-character PIN counts",    6, 10, Call::Verify,  USER_TYPE,  k16,            nullptr,     SAR_PIN_INCORRECT,     5,          "12345678",   5, "admin12345", 10},
  {"verify: last try wrong locks",             1, 10, Call::Verify,  USER_TYPE,  "87654321",     nullptr,     SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345", 10},
  {"verify: locked, right PIN",                0, 10, Call::Verify,  USER_TYPE,  "12345678",     nullptr,     SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345", 10},
  {"verify: locked, wrong PIN",                0, 10, Call::Verify,  USER_TYPE,  "87654321",     nullptr,     SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345", 10},
  {"verify: 5 characters, no try spent",       4, 10, Call::Verify,  USER_TYPE,  "12345",        nullptr,     SAR_PIN_LEN_RANGE,     4,          "12345678",   4, "admin12345", 10},
  {"verify: 17 characters, no try spent",      4, 10, Call::Verify,  USER_TYPE,  k17,            nullptr,     SAR_PIN_LEN_RANGE,     4,          "12345678",   4, "admin12345", 10},
  {"verify: empty PIN, no try spent",          6, 10, Call::Verify,  USER_TYPE,  "",             nullptr,     SAR_PIN_LEN_RANGE,     6,          "12345678",   6, "admin12345", 10},
  {"verify: admin PIN right",                  6,  7, Call::Verify,  ADMIN_TYPE, "admin12345",   nullptr,     SAR_OK,                kUntouched, "12345678",   6, "admin12345", 10},
  {"verify: admin PIN wrong, own counter",     6, 10, Call::Verify,  ADMIN_TYPE, "12345678",     nullptr,     SAR_PIN_INCORRECT,     9,          "12345678",   6, "admin12345",  9},
  {"verify: PIN type 2",                       6, 10, Call::Verify,  2,          "12345678",     nullptr,     SAR_USER_TYPE_INVALID, kUntouched, "12345678",   6, "admin12345", 10},
  {"change: right old PIN",                    2, 10, Call::Change,  USER_TYPE,  "12345678",     "abcdefgh",  SAR_OK,                kUntouched, "abcdefgh",   6, "admin12345", 10},
  {"change: to a 16-character PIN",            6, 10, Call::Change,  USER_TYPE,  "12345678",     k16,         SAR_OK,                kUntouched, k16,          6, "admin12345", 10},
  {"change: wrong old PIN",                    6, 10, Call::Change,  USER_TYPE,  "87654321",     "abcdefgh",  SAR_PIN_INCORRECT,     5,          "12345678",   5, "admin12345", 10},
  {"change: wrong old PIN, last try",          1, 10, Call::Change,  USER_TYPE,  "87654321",     "abcdefgh",  SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345", 10},
  {"change: locked",                           0, 10, Call::Change,  USER_TYPE,  "12345678",     "abcdefgh",  SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345", 10},
  {"change: old PIN too short",                6, 10, Call::Change,  USER_TYPE,  "12345",        "abcdefgh",  SAR_PIN_LEN_RANGE,     6,          "12345678",   6, "admin12345", 10},
  {"change: right old, new too short",         4, 10, Call::Change,  USER_TYPE,  "12345678",     "abcde",     SAR_PIN_LEN_RANGE,     6,          "12345678",   6, "admin12345", 10},
  {"change: right old, new too long",          6, 10, Call::Change,  USER_TYPE,  "12345678",     k17,         SAR_PIN_LEN_RANGE,     6,          "12345678",   6, "admin12345", 10},
  {"change: admin PIN",                        6,  8, Call::Change,  ADMIN_TYPE, "admin12345",   "newadmin9", SAR_OK,                kUntouched, "12345678",   6, "newadmin9",  10},
  {"change: PIN type 7",                       6, 10, Call::Change,  7,          "12345678",     "abcdefgh",  SAR_USER_TYPE_INVALID, kUntouched, "12345678",   6, "admin12345", 10},
  {"unblock: locked user PIN",                 0,  9, Call::Unblock, 0,          "admin12345",   "fresh123",  SAR_OK,                kUntouched, "fresh123",   6, "admin12345", 10},
  {"unblock: user PIN not locked",             3, 10, Call::Unblock, 0,          "admin12345",   "fresh123",  SAR_OK,                kUntouched, "fresh123",   6, "admin12345", 10},
  {"unblock: wrong admin PIN",                 0, 10, Call::Unblock, 0,          "admin54321",   "fresh123",  SAR_PIN_INCORRECT,     9,          "12345678",   0, "admin12345",  9},
  {"unblock: wrong admin PIN, last try",       0,  1, Call::Unblock, 0,          "admin54321",   "fresh123",  SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345",  0},
  {"unblock: admin PIN locked",                0,  0, Call::Unblock, 0,          "admin12345",   "fresh123",  SAR_PIN_LOCKED,        0,          "12345678",   0, "admin12345",  0},
  {"unblock: admin PIN too short",             0, 10, Call::Unblock, 0,          "admin",        "fresh123",  SAR_PIN_LEN_RANGE,    10,          "12345678",   0, "admin12345", 10},
  {"unblock: new user PIN too short",          0,  5, Call::Unblock, 0,          "admin12345",   "fresh",     SAR_PIN_LEN_RANGE,    10,          "12345678",   0, "admin12345", 10},
};
// clang-format on

ULONG callPin(const PinCase& c, HAPPLICATION app, ULONG* count) {
  std::string first = c.first;
  std::string second = c.second ? c.second : "";
  switch (c.call) {
    case Call::Verify:
      return SKF_VerifyPIN(app, c.type, first.data(), count);
    case Call::Change:
      return SKF_ChangePIN(app, c.type, first.data(), second.data(), count);
    case Call::Unblock:
      return SKF_UnblockPIN(app, first.data(), second.data(), count);
  }
  return SAR_FAIL;
}

// The default token with the case's counters.
softtoken::TokenState stateBefore(const PinCase& c) {
  softtoken::TokenState state;
  state.user_.tries_ = c.userTries;
  state.admin_.tries_ = c.adminTries;
  return state;
}

void expectPinsAfter(const PinCase& c, const softtoken::TokenState& after) {
  EXPECT_EQ(after.user_.pin_, c.userPinAfter);
  EXPECT_EQ(after.user_.tries_, c.userTriesAfter);
  EXPECT_EQ(after.admin_.pin_, c.adminPinAfter);
  EXPECT_EQ(after.admin_.tries_, c.adminTriesAfter);
}

TEST_F(TokenTest, PinCallsFollowTheRetryCounters) {
  for (const PinCase& c : kCases) {
    SCOPED_TRACE(c.name);
    store(stateBefore(c));
    const HAPPLICATION app = openApplication();
    ULONG count = kUntouched;
    EXPECT_EQ(callPin(c, app, &count), c.rv);
    EXPECT_EQ(count, c.count);
    expectPinsAfter(c, load());
    EXPECT_EQ(SKF_CloseApplication(app), SAR_OK);
    EXPECT_EQ(SKF_DisConnectDev(device_), SAR_OK);
  }
}

// The daemon's whole course: wrong PINs down to the lock, unblock, then the new PIN works.
TEST_F(TokenTest, LockThenUnblockThenNewPinVerifies) {
  const HAPPLICATION app = openApplication();
  char wrong[] = "00000000";
  char adminPin[] = "admin12345";
  char newPin[] = "newpin99";
  ULONG count = 0;
  for (ULONG left = 5; left > 0; --left) {
    ASSERT_EQ(SKF_VerifyPIN(app, USER_TYPE, wrong, &count), SAR_PIN_INCORRECT);
    ASSERT_EQ(count, left);
  }
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, wrong, &count), SAR_PIN_LOCKED);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(SKF_UnblockPIN(app, adminPin, newPin, &count), SAR_OK);
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, newPin, &count), SAR_OK);
  EXPECT_EQ(load().user_.tries_, 6u);
}

TEST_F(TokenTest, PinCallsRefuseMissingArguments) {
  const HAPPLICATION app = openApplication();
  char pin[] = "12345678";
  ULONG count = kUntouched;
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, nullptr, &count), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, pin, nullptr), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_ChangePIN(app, USER_TYPE, pin, nullptr, &count), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_ChangePIN(app, USER_TYPE, nullptr, pin, &count), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_UnblockPIN(app, nullptr, pin, &count), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_UnblockPIN(app, pin, pin, nullptr), SAR_INVALIDPARAMERR);
  EXPECT_EQ(count, kUntouched);
  EXPECT_EQ(load().user_.tries_, 6u);
  EXPECT_EQ(load().admin_.tries_, 10u);
}

// Faults under which the state file cannot be written, each a condition the library meets for real,
// applied in a child process so the test process keeps its own limits and mounts. Both work as
// root, where permission bits would not stop a write.
enum class WriteFault { FileSizeLimit, ReadOnlyMount };

// Applies the fault to the directory in this (child) process; false when it cannot be had here.
bool applyWriteFault(WriteFault fault, const std::string& directory) {
  if (fault == WriteFault::FileSizeLimit) {
    // Like a full disk: the temporary file cannot grow past a few bytes (EFBIG, not a signal).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    limit.rlim_cur = 16;
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  // A read-only bind mount of the directory in a private mount namespace: EROFS for every write.
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, directory.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

struct CallResult {
  bool faultApplied = false;
  ULONG rv = 0;
  ULONG count = 0;
};

// Makes the PIN call in a child process under the fault; the handle was opened by this process.
CallResult callUnderFault(WriteFault fault, const std::string& directory, const PinCase& c, HAPPLICATION app) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    CallResult result;
    result.count = kUntouched;
    result.faultApplied = applyWriteFault(fault, directory);
    if (result.faultApplied) result.rv = callPin(c, app, &result.count);
    const bool sent = ::write(channel[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    ::_exit(sent ? 0 : 1);
  }
  ::close(channel[1]);
  CallResult result;
  const bool received = ::read(channel[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!received) result.faultApplied = false;
  return result;
}

// A PIN check whose outcome cannot be stored fails closed: the right PIN is refused as well as a
// wrong one (else the answers would tell the PIN apart with no try ever counted), the count holds
// the tries the file still records (not a spent one), and the file keeps what it had.
class PinWriteFailure : public TokenTest, public ::testing::WithParamInterface<WriteFault> {};

TEST_P(PinWriteFailure, PinCallsThatCannotBeStoredAreRefused) {
  // clang-format off
  const PinCase calls[] = {
    // name                               user admin call          type       first         second      rv                count       user PIN   u  admin PIN     a
    {"verify: right PIN, counter full",     6, 10, Call::Verify,  USER_TYPE, "12345678",   nullptr,    SAR_WRITEFILEERR, 6,          "12345678", 6, "admin12345", 10},
    {"verify: right PIN, counter spent",    3, 10, Call::Verify,  USER_TYPE, "12345678",   nullptr,    SAR_WRITEFILEERR, 3,          "12345678", 3, "admin12345", 10},
    {"verify: wrong PIN",                   6, 10, Call::Verify,  USER_TYPE, "87654321",   nullptr,    SAR_WRITEFILEERR, 6,          "12345678", 6, "admin12345", 10},
    {"change: right old PIN",               6, 10, Call::Change,  USER_TYPE, "12345678",   "abcdefgh", SAR_WRITEFILEERR, 6,          "12345678", 6, "admin12345", 10},
    {"unblock: right admin PIN",            0, 10, Call::Unblock, 0,         "admin12345", "fresh123", SAR_WRITEFILEERR, 10,         "12345678", 0, "admin12345", 10},
  };
  // clang-format on
  for (const PinCase& c : calls) {
    SCOPED_TRACE(c.name);
    store(stateBefore(c));
    const std::string before = readFile(statePath());
    const HAPPLICATION app = openApplication();
    const CallResult result = callUnderFault(GetParam(), directory_, c, app);
    if (!result.faultApplied) {
      // Only the mount needs a privilege (CAP_SYS_ADMIN); the file size limit works for anyone.
      ASSERT_EQ(GetParam(), WriteFault::ReadOnlyMount) << "the file size limit could not be set";
      GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(result.rv, c.rv);
    EXPECT_EQ(result.count, c.count);
    EXPECT_EQ(readFile(statePath()), before);
    expectPinsAfter(c, load());
    EXPECT_EQ(SKF_CloseApplication(app), SAR_OK);
    EXPECT_EQ(SKF_DisConnectDev(device_), SAR_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, PinWriteFailure,
                         ::testing::Values(WriteFault::FileSizeLimit, WriteFault::ReadOnlyMount),
                         [](const ::testing::TestParamInfo<WriteFault>& info) {
                           return info.param == WriteFault::FileSizeLimit ? "FileSizeLimit" : "ReadOnlyMount";
                         });

}  // namespace
