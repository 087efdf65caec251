// SPDX-License-Identifier: MIT
// A second SKF library for the install test: the library slot switched to it must change what the
// daemon answers. One token, always present, serial FIXED-SERIAL-0002; it knows no PIN.
#include <cstring>

#include "token/skf.h"

namespace {
constexpr char kDevice[] = "KV5100RT VCR 1";
constexpr char kSerial[] = "FIXED-SERIAL-0002";
int g_device = 0;

// A name list ending in two NULs, the SKF way.
ULONG list(const char* name, LPSTR out, ULONG* size) {
  const ULONG needed = static_cast<ULONG>(std::strlen(name) + 2);
  if (out == nullptr) {
    *size = needed;
    return SAR_OK;
  }
  if (*size < needed) return SAR_BUFFER_TOO_SMALL;
  std::memset(out, 0, needed);
  std::memcpy(out, name, needed - 2);
  *size = needed;
  return SAR_OK;
}
}  // namespace

ULONG SKF_EnumDev(BOOL, LPSTR list_out, ULONG* size) { return list(kDevice, list_out, size); }
ULONG SKF_ConnectDev(LPSTR, DEVHANDLE* device) {
  *device = &g_device;
  return SAR_OK;
}
ULONG SKF_DisConnectDev(DEVHANDLE) { return SAR_OK; }
ULONG SKF_GetDevInfo(DEVHANDLE, DEVINFO* info) {
  std::memset(info, 0, sizeof *info);
  std::memcpy(info->SerialNumber, kSerial, sizeof kSerial);
  return SAR_OK;
}
ULONG SKF_EnumApplication(DEVHANDLE, LPSTR list_out, ULONG* size) { return list("APP", list_out, size); }
ULONG SKF_OpenApplication(DEVHANDLE, LPSTR, HAPPLICATION*) { return SAR_FAIL; }
ULONG SKF_CloseApplication(HAPPLICATION) { return SAR_OK; }
ULONG SKF_VerifyPIN(HAPPLICATION, ULONG, LPSTR, ULONG*) { return SAR_FAIL; }
ULONG SKF_ChangePIN(HAPPLICATION, ULONG, LPSTR, LPSTR, ULONG*) { return SAR_FAIL; }
ULONG SKF_UnblockPIN(HAPPLICATION, LPSTR, LPSTR, ULONG*) { return SAR_FAIL; }
