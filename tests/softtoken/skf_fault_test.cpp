// SPDX-License-Identifier: MIT
// Injected faults: every one of the ten functions answers the chosen code and does nothing else,
// once or until cleared; or the calling process ends with SIGSEGV, as a crashing library's would.
#include <signal.h>

#include "tests/softtoken/token_fixture.h"

namespace {

constexpr ULONG kFaultCode = 0x0A0000F1;  // no real code, so it cannot come from anywhere else

struct FaultCase {
  const char* function;
  // Makes the call on a connected device and an open application.
  std::function<ULONG(DEVHANDLE, HAPPLICATION)> call;
};

char pin[] = "12345678";
char wrongPin[] = "87654321";
char newPin[] = "abcdefgh";
char appName[] = "TOKENBRIDGE";
char adminPin[] = "admin12345";

const FaultCase kCases[] = {
    {"SKF_EnumDev", [](DEVHANDLE, HAPPLICATION) { ULONG size = 0; return SKF_EnumDev(1, nullptr, &size); }},
    {"SKF_ConnectDev", [](DEVHANDLE, HAPPLICATION) { DEVHANDLE d = nullptr; return SKF_ConnectDev(kDeviceName, &d); }},
    {"SKF_DisConnectDev", [](DEVHANDLE d, HAPPLICATION) { return SKF_DisConnectDev(d); }},
    {"SKF_GetDevInfo", [](DEVHANDLE d, HAPPLICATION) { DEVINFO info{}; return SKF_GetDevInfo(d, &info); }},
    {"SKF_EnumApplication", [](DEVHANDLE d, HAPPLICATION) { ULONG size = 0; return SKF_EnumApplication(d, nullptr, &size); }},
    {"SKF_OpenApplication", [](DEVHANDLE d, HAPPLICATION) { HAPPLICATION a = nullptr; return SKF_OpenApplication(d, appName, &a); }},
    {"SKF_CloseApplication", [](DEVHANDLE, HAPPLICATION a) { return SKF_CloseApplication(a); }},
    {"SKF_VerifyPIN", [](DEVHANDLE, HAPPLICATION a) { ULONG n = 0; return SKF_VerifyPIN(a, USER_TYPE, pin, &n); }},
    {"SKF_ChangePIN", [](DEVHANDLE, HAPPLICATION a) { ULONG n = 0; return SKF_ChangePIN(a, USER_TYPE, pin, newPin, &n); }},
    {"SKF_UnblockPIN", [](DEVHANDLE, HAPPLICATION a) { ULONG n = 0; return SKF_UnblockPIN(a, adminPin, newPin, &n); }},
};

void setFault(softtoken::TokenState& s, const char* function, bool once) {
  s.faults_[function] = softtoken::Fault{kFaultCode, once};
}

TEST_F(TokenTest, OnceFaultHitsTheNextCallOnlyAndIsRemoved) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.function);
    store(softtoken::TokenState{});
    const HAPPLICATION app = openApplication();
    edit([&](softtoken::TokenState& s) { setFault(s, c.function, true); });
    EXPECT_EQ(c.call(device_, app), kFaultCode);
    EXPECT_TRUE(load().faults_.empty());
    // The refused call did nothing, so the same handles still work for the real call.
    EXPECT_EQ(c.call(device_, app), SAR_OK);
  }
}

TEST_F(TokenTest, PersistentFaultStaysUntilCleared) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.function);
    store(softtoken::TokenState{});
    const HAPPLICATION app = openApplication();
    edit([&](softtoken::TokenState& s) { setFault(s, c.function, false); });
    EXPECT_EQ(c.call(device_, app), kFaultCode);
    EXPECT_EQ(c.call(device_, app), kFaultCode);
    EXPECT_EQ(load().faults_.count(c.function), 1u);
    edit([](softtoken::TokenState& s) { s.faults_.clear(); });
    EXPECT_EQ(c.call(device_, app), SAR_OK);
  }
}

// The crash is a real SIGSEGV of the calling process (its death is seen from here, in a fork);
// a once-only crash is gone from the file before it happens, so the next call works.
TEST_F(TokenTest, CrashEndsTheCallerWithSigsegvOnceOrUntilCleared) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.function);
    store(softtoken::TokenState{});
    const HAPPLICATION app = openApplication();
    edit([&](softtoken::TokenState& s) { s.crashes_[c.function] = true; });
    EXPECT_EXIT(c.call(device_, app), ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_TRUE(load().crashes_.empty());
    EXPECT_EQ(c.call(device_, app), SAR_OK);
    edit([&](softtoken::TokenState& s) { s.crashes_[c.function] = false; });
    EXPECT_EXIT(c.call(device_, app), ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EXIT(c.call(device_, app), ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(load().crashes_.count(c.function), 1u);
  }
}

TEST_F(TokenTest, FaultedCallWritesNoOutputAndSpendsNoTry) {
  const HAPPLICATION app = openApplication();
  edit([](softtoken::TokenState& s) {
    setFault(s, "SKF_VerifyPIN", false);
    setFault(s, "SKF_ConnectDev", false);
    setFault(s, "SKF_EnumDev", false);
  });
  ULONG count = 55;
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, wrongPin, &count), kFaultCode);
  EXPECT_EQ(count, 55u);
  EXPECT_EQ(load().user_.tries_, 6u);
  DEVHANDLE device = nullptr;
  EXPECT_EQ(SKF_ConnectDev(kDeviceName, &device), kFaultCode);
  EXPECT_EQ(device, nullptr);
  ULONG size = 99;
  EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), kFaultCode);
  EXPECT_EQ(size, 99u);
}

TEST_F(TokenTest, FaultOnOneFunctionLeavesTheOthersAlone) {
  const HAPPLICATION app = openApplication();
  edit([](softtoken::TokenState& s) { setFault(s, "SKF_ChangePIN", true); });
  ULONG count = 0;
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, pin, &count), SAR_OK);
  // The once fault is still waiting for its own function.
  EXPECT_EQ(load().faults_.count("SKF_ChangePIN"), 1u);
  EXPECT_EQ(SKF_ChangePIN(app, USER_TYPE, pin, newPin, &count), kFaultCode);
  EXPECT_EQ(load().user_.pin_, "12345678");
}

}  // namespace
