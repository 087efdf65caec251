// SPDX-License-Identifier: MIT
// A device connection that a command replaces must not stay alive in the SKF library: a daemon that
// serves for months would otherwise keep one library handle per such request (in the software token
// about 140 bytes of heap each; the soak's memory check found it). After the second request, the
// first request's handle is either still the open one or unknown to the library.
#include <gtest/gtest.h>

#include <string>

#include "tests/token/soft_token_fixture.h"
#include "token/dev_mgnt.h"
#include "token/skf.h"

namespace {

struct Case {
  const char* name;
  std::string leavesDeviceOpen;  // a request after which g_hDev is open
  std::string connectsAgain;     // a request that connects whatever g_hDev holds
};

using ReplacedHandle = SoftTokenTest;

TEST_F(ReplacedHandle, IsNotLeftConnectedInTheLibrary) {
  const Case cases[] = {
      {"OpenDevice twice", R"({"type":"OpenDevice"})", R"({"type":"OpenDevice"})"},
      {"GetUserName, then OpenDevice", R"({"type":"GetUserName"})", R"({"type":"OpenDevice"})"},
      {"OpenDevice, then ZPSHA1", R"({"type":"OpenDevice"})", R"({"type":"ZPSHA1","parm1":"hello, token!!!"})"},
      {"GetUserName, then ZPSHA1", R"({"type":"GetUserName"})", R"({"type":"ZPSHA1","parm1":"hello, token!!!"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    request(c.leavesDeviceOpen);
    const DEVHANDLE first = g_hDev;
    ASSERT_NE(first, nullptr);
    request(c.connectsAgain);
    if (g_hDev != first) {
      EXPECT_EQ(SKF_DisConnectDev(first), SAR_INVALIDHANDLEERR) << "the replaced handle is still connected";
    }
    request(R"({"type":"CloseDevice"})");
  }
}

}  // namespace
