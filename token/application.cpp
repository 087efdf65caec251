// SPDX-License-Identifier: MIT
// Application and user-PIN access through the SKF library.
#include "token/application.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "token/call_watch.h"
#include "token/skf_library.h"
#include "token/dev_mgnt.h"
#include "token/library_ulong.h"

HAPPLICATION g_hApp = nullptr;

namespace {

constexpr ULONG kUserPin = USER_TYPE;

LPSTR text(unsigned char* s) { return reinterpret_cast<LPSTR>(s); }

// The PIN calls need a connected device and an open application; without them no call is made.
bool applicationOpen() { return g_hDev != nullptr && g_hApp != nullptr; }

}  // namespace

BYTE CApplicationTest::Test_OpenApplication() {
  if (g_hDev == nullptr) return 0;
  char names[256] = {};
  LibraryUlong size(sizeof names);
  if (token::watched("SKF_EnumApplication", [&] { return skf::library().SKF_EnumApplication(g_hDev, names, size.pointer()); }) != SAR_OK) {
    return 0;
  }
  // The list is the library's word, not ours: read no further than both the buffer and the size it
  // reports, and take the first name only when its NUL lies within that. An empty list (size 0)
  // passes the empty text and the library decides.
  const std::size_t written = std::min<std::size_t>(size.value(), sizeof names);
  const std::size_t length = strnlen(names, written);
  if (written != 0 && length == written) return 0;
  std::string first(names, length);
  return token::watched("SKF_OpenApplication", [&] { return skf::library().SKF_OpenApplication(g_hDev, first.data(), &g_hApp); }) == SAR_OK ? 1 : 0;
}

namespace {

// The count goes to the library as it came (a library that leaves it alone leaves it unchanged)
// and comes back as the library left it.
template <class Call>
BYTE pinCall(const char* function, unsigned int* count, Call call) {
  LibraryUlong tries(*count);
  const ULONG rv = token::watched(function, [&] { return call(tries.pointer()); });
  *count = tries.value();
  return rv == SAR_OK ? 1 : 0;
}

}  // namespace

BYTE CApplicationTest::Test_VerifyPIN(unsigned char* pin, unsigned int* count) {
  if (!applicationOpen()) return 0;
  return pinCall("SKF_VerifyPIN", count, [&](ULONG* tries) { return skf::library().SKF_VerifyPIN(g_hApp, kUserPin, text(pin), tries); });
}

BYTE CApplicationTest::Test_ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, unsigned int* count) {
  if (!applicationOpen()) return 0;
  return pinCall("SKF_ChangePIN", count,
                 [&](ULONG* tries) { return skf::library().SKF_ChangePIN(g_hApp, kUserPin, text(oldPin), text(newPin), tries); });
}

BYTE CApplicationTest::Test_UnblockPIN(unsigned char* adminPin, unsigned char* newUserPin, unsigned int* count) {
  if (!applicationOpen()) return 0;
  return pinCall("SKF_UnblockPIN", count,
                 [&](ULONG* tries) { return skf::library().SKF_UnblockPIN(g_hApp, text(adminPin), text(newUserPin), tries); });
}

BYTE CApplicationTest::Test_CloseApplication() {
  if (g_hApp == nullptr) return 1;
  const ULONG rv = token::watched("SKF_CloseApplication", [&] { return skf::library().SKF_CloseApplication(g_hApp); });
  g_hApp = nullptr;
  return rv == SAR_OK ? 1 : 0;
}
