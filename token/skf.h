// SPDX-License-Identifier: MIT
// Our own declarations of the ten GM/T 0016 ("SKF") functions the service calls, their handle
// types, the DEVINFO record and the standard result codes. The library behind them is the token
// maker's libkv_5100rt.so or our software token of the same name (softtoken/).
#pragma once

#include <cstddef>
#include <cstdint>

// 32-bit on every platform: the standard's ULONG, never the C type unsigned long.
typedef std::uint32_t ULONG;
typedef std::uint32_t BOOL;
typedef std::uint8_t BYTE;
typedef char CHAR;
typedef char* LPSTR;
typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;

static_assert(sizeof(ULONG) == 4, "ULONG must be 32-bit");

#pragma pack(push, 1)
struct VERSION {
  BYTE major;
  BYTE minor;
};

struct DEVINFO {
  VERSION Version;
  CHAR Manufacturer[64];
  CHAR Issuer[64];
  CHAR Label[32];
  CHAR SerialNumber[32];
  VERSION HWVersion;
  VERSION FirmwareVersion;
  ULONG AlgSymCap;
  ULONG AlgAsymCap;
  ULONG AlgHashCap;
  ULONG DevAuthAlgId;
  ULONG TotalSpace;
  ULONG FreeSpace;
  ULONG MaxECCBufferSize;
  ULONG MaxBufferSize;
  BYTE Reserved[64];
};
#pragma pack(pop)

static_assert(sizeof(DEVINFO) == 294, "DEVINFO is 294 bytes, packed");
static_assert(offsetof(DEVINFO, SerialNumber) == 162, "SerialNumber sits at byte 162");
static_assert(sizeof(DEVINFO::SerialNumber) == 32, "SerialNumber is 32 bytes");

// PIN types.
constexpr ULONG ADMIN_TYPE = 0;
constexpr ULONG USER_TYPE = 1;

// Result codes.
constexpr ULONG SAR_OK = 0x00000000;
constexpr ULONG SAR_FAIL = 0x0A000001;
constexpr ULONG SAR_UNKNOWNERR = 0x0A000002;
constexpr ULONG SAR_NOTSUPPORTYETERR = 0x0A000003;
constexpr ULONG SAR_FILEERR = 0x0A000004;
constexpr ULONG SAR_INVALIDHANDLEERR = 0x0A000005;
constexpr ULONG SAR_INVALIDPARAMERR = 0x0A000006;
constexpr ULONG SAR_READFILEERR = 0x0A000007;
constexpr ULONG SAR_WRITEFILEERR = 0x0A000008;
constexpr ULONG SAR_NAMELENERR = 0x0A000009;
constexpr ULONG SAR_MEMORYERR = 0x0A00000E;
constexpr ULONG SAR_BUFFER_TOO_SMALL = 0x0A000020;
constexpr ULONG SAR_DEVICE_REMOVED = 0x0A000023;
constexpr ULONG SAR_PIN_INCORRECT = 0x0A000024;
constexpr ULONG SAR_PIN_LOCKED = 0x0A000025;
constexpr ULONG SAR_PIN_INVALID = 0x0A000026;
constexpr ULONG SAR_PIN_LEN_RANGE = 0x0A000027;
constexpr ULONG SAR_USER_ALREADY_LOGGED_IN = 0x0A000028;
constexpr ULONG SAR_USER_PIN_NOT_INITIALIZED = 0x0A000029;
constexpr ULONG SAR_USER_TYPE_INVALID = 0x0A00002A;
constexpr ULONG SAR_APPLICATION_NAME_INVALID = 0x0A00002B;
constexpr ULONG SAR_APPLICATION_EXISTS = 0x0A00002C;
constexpr ULONG SAR_USER_NOT_LOGGED_IN = 0x0A00002D;
constexpr ULONG SAR_APPLICATION_NOT_EXISTS = 0x0A00002E;

extern "C" {
ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize);
ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev);
ULONG SKF_DisConnectDev(DEVHANDLE hDev);
ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize);
ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication);
ULONG SKF_CloseApplication(HAPPLICATION hApplication);
ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount);
ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                    ULONG* pulRetryCount);
ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG* pulRetryCount);
}
