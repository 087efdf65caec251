// SPDX-License-Identifier: MIT
// Handles: closed, foreign and mixed-up handles are refused, a pulled token kills every handle it
// gave out for good, and a disconnect takes the device's applications with it.
#include <cstdio>

#include "softtoken/state_file.h"
#include "tests/softtoken/token_fixture.h"

namespace {

void unplug(softtoken::TokenState& s) { s.present_ = false; }
void replug(softtoken::TokenState& s) {
  s.present_ = true;
  ++s.epoch_;
}

class HandleTest : public TokenTest {
 public:
  using TokenTest::edit;
  using TokenTest::statePath;
};

struct HandleCase {
  const char* name;
  // Works on the fixture's connected device and open application, returns the code to check.
  std::function<ULONG(HandleTest&, DEVHANDLE, HAPPLICATION)> scenario;
  ULONG rv;
};

ULONG getInfo(DEVHANDLE device) {
  DEVINFO info{};
  return SKF_GetDevInfo(device, &info);
}

ULONG verify(HAPPLICATION app, const char* pin = "12345678") {
  ULONG count = 0;
  std::string text = pin;
  return SKF_VerifyPIN(app, USER_TYPE, text.data(), &count);
}

TEST_F(HandleTest, StaleForeignAndRemovedHandlesAreRefused) {
  const HandleCase cases[] = {
      {"live handles work", [](HandleTest&, DEVHANDLE d, HAPPLICATION a) { return getInfo(d) | verify(a); }, SAR_OK},
      {"null device handle", [](HandleTest&, DEVHANDLE, HAPPLICATION) { return getInfo(nullptr); },
       SAR_INVALIDHANDLEERR},
      {"foreign device handle",
       [](HandleTest&, DEVHANDLE, HAPPLICATION) {
         int local = 0;
         return getInfo(&local);
       },
       SAR_INVALIDHANDLEERR},
      {"closed device handle",
       [](HandleTest&, DEVHANDLE d, HAPPLICATION) {
         SKF_DisConnectDev(d);
         return getInfo(d);
       },
       SAR_INVALIDHANDLEERR},
      {"device disconnected twice",
       [](HandleTest&, DEVHANDLE d, HAPPLICATION) {
         SKF_DisConnectDev(d);
         return SKF_DisConnectDev(d);
       },
       SAR_INVALIDHANDLEERR},
      {"application handle used as a device", [](HandleTest&, DEVHANDLE, HAPPLICATION a) { return getInfo(a); },
       SAR_INVALIDHANDLEERR},
      {"device handle used as an application", [](HandleTest&, DEVHANDLE d, HAPPLICATION) { return verify(d); },
       SAR_INVALIDHANDLEERR},
      {"closed application handle",
       [](HandleTest&, DEVHANDLE, HAPPLICATION a) {
         SKF_CloseApplication(a);
         return verify(a);
       },
       SAR_INVALIDHANDLEERR},
      {"application of a disconnected device",
       [](HandleTest&, DEVHANDLE d, HAPPLICATION a) {
         SKF_DisConnectDev(d);
         return verify(a);
       },
       SAR_INVALIDHANDLEERR},
      {"device after unplug",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION) {
         t.edit(unplug);
         return getInfo(d);
       },
       SAR_DEVICE_REMOVED},
      {"application after unplug",
       [](HandleTest& t, DEVHANDLE, HAPPLICATION a) {
         t.edit(unplug);
         return verify(a);
       },
       SAR_DEVICE_REMOVED},
      {"device after unplug and re-plug",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION) {
         t.edit(unplug);
         t.edit(replug);
         return getInfo(d);
       },
       SAR_DEVICE_REMOVED},
      {"application after unplug and re-plug",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION a) {
         t.edit(unplug);
         t.edit(replug);
         ULONG size = 0;
         return SKF_EnumApplication(d, nullptr, &size) == SAR_DEVICE_REMOVED ? verify(a) : SAR_OK;
       },
       SAR_DEVICE_REMOVED},
      {"state file deleted",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION) {
         std::remove(t.statePath().c_str());
         return getInfo(d);
       },
       SAR_DEVICE_REMOVED},
      {"handle of another state file",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION) {
         // Same epoch and name, but a different token.
         const std::string other = t.statePath() + ".other";
         softtoken::StateFile(other).update([](std::optional<softtoken::TokenState>& s) {
           s = softtoken::TokenState{};
           return true;
         });
         setenv("SOFTTOKEN_STATE", other.c_str(), 1);
         return getInfo(d);
       },
       SAR_DEVICE_REMOVED},
      {"disconnect after unplug forgets the handle",
       [](HandleTest& t, DEVHANDLE d, HAPPLICATION) {
         t.edit(unplug);
         const ULONG first = SKF_DisConnectDev(d);
         t.edit(replug);
         return first == SAR_DEVICE_REMOVED ? SKF_DisConnectDev(d) : first;
       },
       SAR_INVALIDHANDLEERR},
      {"close after unplug forgets the handle",
       [](HandleTest& t, DEVHANDLE, HAPPLICATION a) {
         t.edit(unplug);
         const ULONG first = SKF_CloseApplication(a);
         return first == SAR_DEVICE_REMOVED ? SKF_CloseApplication(a) : first;
       },
       SAR_INVALIDHANDLEERR},
  };
  for (const HandleCase& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("SOFTTOKEN_STATE", statePath().c_str(), 1);
    store(softtoken::TokenState{});
    const HAPPLICATION app = openApplication();
    EXPECT_EQ(c.scenario(*this, device_, app), c.rv);
    setenv("SOFTTOKEN_STATE", statePath().c_str(), 1);
  }
}

TEST_F(HandleTest, NewConnectionAfterReplugWorksWhileOldStaysRemoved) {
  const HAPPLICATION oldApp = openApplication();
  const DEVHANDLE oldDevice = device_;
  edit(unplug);
  DEVHANDLE none = nullptr;
  EXPECT_EQ(SKF_ConnectDev(kDeviceName, &none), SAR_DEVICE_REMOVED);
  edit(replug);
  const HAPPLICATION newApp = openApplication();
  EXPECT_NE(device_, oldDevice);
  EXPECT_EQ(verify(newApp), SAR_OK);
  EXPECT_EQ(verify(oldApp), SAR_DEVICE_REMOVED);
  EXPECT_EQ(getInfo(oldDevice), SAR_DEVICE_REMOVED);
  EXPECT_EQ(SKF_CloseApplication(newApp), SAR_OK);
  EXPECT_EQ(SKF_DisConnectDev(device_), SAR_OK);
}

TEST_F(HandleTest, PinCallOnRemovedTokenSpendsNoTry) {
  const HAPPLICATION app = openApplication();
  edit(unplug);
  ULONG count = 77;
  char wrong[] = "00000000";
  EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, wrong, &count), SAR_DEVICE_REMOVED);
  EXPECT_EQ(count, 77u);
  EXPECT_EQ(load().user_.tries_, 6u);
}

TEST_F(HandleTest, OpenApplicationRefusesUnknownNamesAndMissingArguments) {
  device_ = connect();
  char unknown[] = "NOSUCHAPP";
  char known[] = "TOKENBRIDGE";
  HAPPLICATION app = nullptr;
  EXPECT_EQ(SKF_OpenApplication(device_, unknown, &app), SAR_APPLICATION_NOT_EXISTS);
  EXPECT_EQ(app, nullptr);
  EXPECT_EQ(SKF_OpenApplication(device_, nullptr, &app), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_OpenApplication(device_, known, nullptr), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_OpenApplication(device_, known, &app), SAR_OK);
  EXPECT_NE(app, nullptr);
}

}  // namespace
