// SPDX-License-Identifier: MIT
// PIN calls through the library: retry counters, locking, reset by a right PIN, unblocking, length
// limits and PIN types, each checked in the reply and in the state file afterwards.
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

TEST_F(TokenTest, PinCallsFollowTheRetryCounters) {
  for (const PinCase& c : kCases) {
    SCOPED_TRACE(c.name);
    softtoken::TokenState state;
    state.user_.tries_ = c.userTries;
    state.admin_.tries_ = c.adminTries;
    store(state);
    const HAPPLICATION app = openApplication();
    ULONG count = kUntouched;
    EXPECT_EQ(callPin(c, app, &count), c.rv);
    EXPECT_EQ(count, c.count);
    const softtoken::TokenState after = load();
    EXPECT_EQ(after.user_.pin_, c.userPinAfter);
    EXPECT_EQ(after.user_.tries_, c.userTriesAfter);
    EXPECT_EQ(after.admin_.pin_, c.adminPinAfter);
    EXPECT_EQ(after.admin_.tries_, c.adminTriesAfter);
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

}  // namespace
