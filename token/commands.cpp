// SPDX-License-Identifier: MIT
// Device and PIN commands: compose the device and application operations and decide which handles
// stay open after each request.
#include "token/commands.h"

#include <cstring>

#include "token/application.h"
#include "token/dev_mgnt.h"

int OpenDevice(unsigned char* out) {
  CDevMgntTest dev;
  if (dev.Test_ConnectDev() == 1) {
    std::memcpy(out, "TRUE", 5);
    return 0;
  }
  std::memcpy(out, "FALSE", 6);
  return 1;
}

unsigned char GetDevState(int* state) {
  CDevMgntTest dev;
  return dev.Test_GetDevState(state);
}

unsigned char GetUserName(unsigned char* out) {
  CDevMgntTest dev;
  return dev.Test_GetDevInfo(out);
}

unsigned char CloseDevice() {
  CApplicationTest app;
  CDevMgntTest dev;
  unsigned char result = app.Test_CloseApplication();
  if (result == 1) result = dev.Test_DisConnectDev();
  return result;
}

namespace {

// The opening every PIN command shares, and the only place an application is opened for one:
// reuse a device left connected by an earlier request, else connect; then open the application
// (none is open between requests). A failed open also ends a connection made earlier.
bool openForPin(CDevMgntTest& dev, CApplicationTest& app) {
  if (g_hDev == nullptr && dev.Test_ConnectDev() != 1) return false;
  if (app.Test_OpenApplication() != 1) {
    dev.Test_DisConnectDev();
    return false;
  }
  return true;
}

void closeAfterPin(CDevMgntTest& dev, CApplicationTest& app) {
  app.Test_CloseApplication();
  dev.Test_DisConnectDev();
}

// Change and unblock share one course: two PIN texts, and the tries left on refusal.
using TwoPinOperation = BYTE (CApplicationTest::*)(unsigned char*, unsigned char*, unsigned int*);

unsigned char runTwoPinCommand(TwoPinOperation operation, unsigned char* first, unsigned char* second, int* out) {
  CDevMgntTest dev;
  CApplicationTest app;
  if (!openForPin(dev, app)) return 0;
  unsigned int count = 0;
  const unsigned char result = (app.*operation)(first, second, &count);
  if (result == 0) *out = static_cast<int>(count);
  closeAfterPin(dev, app);
  return result;
}

}  // namespace

unsigned char VerifyUserPin(unsigned char* pin, int* out) {
  CDevMgntTest dev;
  CApplicationTest app;
  if (!openForPin(dev, app)) {
    *out = 0;
    return 0;
  }
  unsigned int count = 0;
  const unsigned char result = app.Test_VerifyPIN(pin, &count);
  if (result != 0) {
    *out = 1;
  } else {
    *out = count != 0 ? 0 : -1;
  }
  closeAfterPin(dev, app);
  return result;
}

unsigned char ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, int* out) {
  return runTwoPinCommand(&CApplicationTest::Test_ChangeUserPin, oldPin, newPin, out);
}

unsigned char UnblockUserPin(unsigned char* adminPin, unsigned char* newUserPin, int* out) {
  return runTwoPinCommand(&CApplicationTest::Test_UnblockPIN, adminPin, newUserPin, out);
}
