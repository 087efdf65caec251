// SPDX-License-Identifier: MIT
// Application and user-PIN access through the SKF library.
#include "token/application.h"

#include "token/dev_mgnt.h"

HAPPLICATION g_hApp = nullptr;

namespace {

constexpr ULONG kUserPin = USER_TYPE;

LPSTR text(unsigned char* s) { return reinterpret_cast<LPSTR>(s); }

}  // namespace

BYTE CApplicationTest::Test_OpenApplication() {
  if (g_hDev == nullptr) return 0;
  char names[256] = {};
  ULONG size = sizeof names;
  if (SKF_EnumApplication(g_hDev, names, &size) != SAR_OK) return 0;
  // The first name listed; an empty list passes the empty text and the library decides.
  return SKF_OpenApplication(g_hDev, names, &g_hApp) == SAR_OK ? 1 : 0;
}

bool CApplicationTest::ensureApplication(BYTE* result) {
  if (g_hDev == nullptr) {
    *result = 0;
    return false;
  }
  if (g_hApp == nullptr) {
    const BYTE opened = Test_OpenApplication();
    if (g_hApp == nullptr) {
      *result = opened;
      return false;
    }
  }
  return true;
}

BYTE CApplicationTest::Test_VerifyPIN(unsigned char* pin, unsigned int* count) {
  BYTE result = 0;
  if (!ensureApplication(&result)) return result;
  return SKF_VerifyPIN(g_hApp, kUserPin, text(pin), count) == SAR_OK ? 1 : 0;
}

BYTE CApplicationTest::Test_ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, unsigned int* count) {
  BYTE result = 0;
  if (!ensureApplication(&result)) return result;
  return SKF_ChangePIN(g_hApp, kUserPin, text(oldPin), text(newPin), count) == SAR_OK ? 1 : 0;
}

BYTE CApplicationTest::Test_UnblockPIN(unsigned char* adminPin, unsigned char* newUserPin, unsigned int* count) {
  BYTE result = 0;
  if (!ensureApplication(&result)) return result;
  return SKF_UnblockPIN(g_hApp, text(adminPin), text(newUserPin), count) == SAR_OK ? 1 : 0;
}

BYTE CApplicationTest::Test_CloseApplication() {
  if (g_hApp == nullptr) return 1;
  const ULONG rv = SKF_CloseApplication(g_hApp);
  g_hApp = nullptr;
  return rv == SAR_OK ? 1 : 0;
}
