// SPDX-License-Identifier: MIT
// Device presence, connection and information through the SKF library.
#include "token/dev_mgnt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "token/call_watch.h"
#include "token/device_name.h"
#include "token/skf_library.h"
#include "token/library_ulong.h"
#include "token/warnings.h"

DEVHANDLE g_hDev = nullptr;

namespace {

// A device list holds a few names. A larger size from the library is not believed: the list is asked
// for with this much room and the library decides (a true list fits, a false size is refused).
constexpr ULONG kDeviceListRoom = 64 * 1024;

// Two SKF_EnumDev calls: the list's size, then the list. A non-empty list means a token is present;
// the names themselves are never read, since the service always connects by its fixed name.
bool tokenPresent() {
  LibraryUlong size;
  if (token::watched("SKF_EnumDev", [&] { return skf::library().SKF_EnumDev(1, nullptr, size.pointer()); }) != SAR_OK || size.value() == 0) {
    return false;
  }
  const ULONG room = std::min(size.value(), kDeviceListRoom);
  std::unique_ptr<char[]> names(new (std::nothrow) char[room]);
  if (!names) return false;
  LibraryUlong filled(room);
  if (token::watched("SKF_EnumDev", [&] { return skf::library().SKF_EnumDev(1, names.get(), filled.pointer()); }) != SAR_OK) return false;
  return filled.value() != 0;
}

// The record with room after it: a library built with another packing (natural alignment makes
// the record 296 bytes), with 8-byte ULONGs (326 bytes) or a longer record writes past the 294
// bytes we declare. The serial number
// sits at the same offset in each layout, and only its 32 bytes are read.
struct DevInfoWithRoom {
  DEVINFO info;
  unsigned char room[256];
};

}  // namespace

BYTE CDevMgntTest::Test_ConnectDev() {
  if (!tokenPresent()) return 0;
  char name[sizeof token::kDeviceName];
  std::memcpy(name, token::kDeviceName, sizeof name);  // the library takes a writable name
  DEVHANDLE handle = nullptr;
  const ULONG rv = token::watched("SKF_ConnectDev", [&] { return skf::library().SKF_ConnectDev(name, &handle); });
  token::trace("----------SKF_ConnectDev rv = 0x%08X \n", rv);
  if (rv != SAR_OK) {
    char line[64];
    std::snprintf(line, sizeof line, "token connect failed: SKF_ConnectDev returned 0x%08X", static_cast<unsigned>(rv));
    token::warn(line);
    return 0;
  }
  // A new connection replaces the one held. The replaced handle is disconnected rather than
  // abandoned, so repeated connects ("OpenDevice" twice, "ZPSHA1" after "OpenDevice") do not pile
  // up handles in the token library for the life of the service.
  if (g_hDev != nullptr) token::watched("SKF_DisConnectDev", [&] { return skf::library().SKF_DisConnectDev(g_hDev); });
  g_hDev = handle;
  return 1;
}

BYTE CDevMgntTest::Test_GetDevState(int* state) {
  const BYTE present = tokenPresent() ? 1 : 0;
  *state = present;
  return present;
}

BYTE CDevMgntTest::Test_GetDevInfo(unsigned char* serial) {
  if (g_hDev == nullptr && Test_ConnectDev() != 1) return 0;
  DevInfoWithRoom received;
  std::memset(&received, 0, sizeof received);
  const DEVINFO& info = received.info;
  if (token::watched("SKF_GetDevInfo", [&] { return skf::library().SKF_GetDevInfo(g_hDev, &received.info); }) != SAR_OK) {
    std::memcpy(serial, "0000", 5);
    return 0;
  }
  // The field is not terminated when the serial number fills all 32 bytes.
  const std::size_t length = strnlen(info.SerialNumber, sizeof info.SerialNumber);
  token::trace("---devInfo.SerialNumber= %.*s \n", static_cast<int>(length), info.SerialNumber);
  std::memcpy(serial, info.SerialNumber, length);
  serial[length] = '\0';
  return 1;
}

BYTE CDevMgntTest::Test_DisConnectDev() {
  if (g_hDev == nullptr) return 1;
  const ULONG rv = token::watched("SKF_DisConnectDev", [&] { return skf::library().SKF_DisConnectDev(g_hDev); });
  g_hDev = nullptr;
  return rv == SAR_OK ? 1 : 0;
}
