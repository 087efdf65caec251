// SPDX-License-Identifier: MIT
// The ten SKF functions over the PKCS#11 module: one device (the chosen token) under the configured
// name, one application under the configured name, PINs through login, C_SetPIN and C_InitPIN.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "pkcs11/backend.h"
#include "pkcs11/result_map.h"
#include "pkcs11/token_uri.h"
#include "token/skf.h"

namespace pkcs11skf {
namespace {

struct Device {
  std::string serial;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session;
  unsigned generation;
};

struct Application {
  Device* device;
};

std::mutex g_lock;  // one call at a time: the handles and the module's state are shared

// Every handle given out, with its kind: a device handle passed where an application is expected
// (or the other way round) is refused, never read as the other type.
enum class Kind { device, application };
std::map<void*, Kind> g_live;

bool live(void* handle, Kind kind) {
  const auto found = g_live.find(handle);
  return found != g_live.end() && found->second == kind;
}
Device* deviceOf(DEVHANDLE handle) { return live(handle, Kind::device) ? static_cast<Device*>(handle) : nullptr; }

// The session's device, or nothing when the module was initialised again since it was opened.
bool current(const Device& device) { return device.generation == backend().generation() && backend().functions(); }

// A result from a session call; a gone backend is forgotten so the next call initialises again.
ULONG settle(CK_RV rv) {
  if (meansBackendGone(rv)) backend().markGone();
  return sarFor(rv);
}

// Fills a multi-string list (the name, its zero byte, then one more) or says its size; with no name
// the list is empty, size 0, as callers take any non-zero size for a device present.
ULONG writeList(const std::string& name, LPSTR out, ULONG* size) {
  if (size == nullptr) return SAR_INVALIDPARAMERR;
  const ULONG needed = name.empty() ? 0 : static_cast<ULONG>(name.size() + 2);
  if (out == nullptr) {
    *size = needed;
    return SAR_OK;
  }
  if (*size < needed) {
    *size = needed;
    return SAR_BUFFER_TOO_SMALL;
  }
  if (needed > 0) {
    std::memset(out, 0, needed);
    std::memcpy(out, name.data(), name.size());
  }
  *size = needed;
  return SAR_OK;
}

// Tries left for a refused PIN, from the token's flags.
ULONG refused(const Device& device, CK_RV rv, PinOwner owner, ULONG* tries) {
  CK_TOKEN_INFO info{};
  CK_FUNCTION_LIST_PTR f = backend().functions();
  const bool haveFlags = f != nullptr && f->C_GetTokenInfo(device.slot, &info) == CKR_OK;
  if (tries != nullptr) {
    if (rv == CKR_PIN_LOCKED) *tries = 0;
    else if (haveFlags) *tries = triesFromFlags(info.flags, owner);
    else *tries = 2;
  }
  if (rv == CKR_PIN_INCORRECT && tries != nullptr && *tries == 0) return SAR_PIN_LOCKED;
  return settle(rv);
}


CK_RV login(CK_FUNCTION_LIST_PTR f, const Device& device, CK_USER_TYPE who, const std::string& pin) {
  // A session already logged in would accept any PIN unchecked: log out first, so the PIN is tested.
  f->C_Logout(device.session);
  return f->C_Login(device.session, who, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                    pin.size());
}

// The application's device, still served by the module that opened it; SAR code otherwise.
ULONG usable(HAPPLICATION handle, Device** device) {
  if (!live(handle, Kind::application)) return SAR_INVALIDHANDLEERR;
  *device = static_cast<Application*>(handle)->device;
  if (!live(*device, Kind::device)) return SAR_INVALIDHANDLEERR;
  return current(**device) ? SAR_OK : SAR_DEVICE_REMOVED;
}

}  // namespace
}  // namespace pkcs11skf

using namespace pkcs11skf;

extern "C" {

ULONG SKF_EnumDev(BOOL, LPSTR szNameList, ULONG* pulSize) {
  std::lock_guard guard(g_lock);
  if (!backend().settings().error.empty()) return SAR_FAIL;
  // Some modules (SoftHSM2, p11-kit's client) keep listing a removed token until initialised again.
  // With no session of ours to lose, every presence poll starts the module afresh.
  if (g_live.empty()) backend().markGone();
  return writeList(backend().findToken() ? backend().settings().deviceName : std::string(), szNameList, pulSize);
}

ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  std::lock_guard guard(g_lock);
  if (szName == nullptr || phDev == nullptr) return SAR_INVALIDPARAMERR;
  if (!backend().settings().error.empty()) return SAR_FAIL;
  if (backend().settings().deviceName != szName) return SAR_INVALIDPARAMERR;  // no such device, as the software token says
  const auto token = backend().findToken();  // slot ids are not stable: found again every time
  if (!token) return SAR_DEVICE_REMOVED;
  auto* device = new Device{token->serial, token->slot, 0, backend().generation()};
  const CK_RV rv = backend().functions()->C_OpenSession(token->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                                       nullptr, nullptr, &device->session);
  if (rv != CKR_OK) {
    delete device;
    return settle(rv);
  }
  g_live.emplace(device, Kind::device);
  *phDev = device;
  return SAR_OK;
}

ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
  std::lock_guard guard(g_lock);
  Device* device = deviceOf(hDev);
  if (device == nullptr) return SAR_INVALIDHANDLEERR;
  if (current(*device)) backend().functions()->C_CloseSession(device->session);
  g_live.erase(device);
  delete device;
  return SAR_OK;
}

ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  std::lock_guard guard(g_lock);
  Device* device = deviceOf(hDev);
  if (device == nullptr) return SAR_INVALIDHANDLEERR;
  if (pDevInfo == nullptr) return SAR_INVALIDPARAMERR;
  if (!current(*device)) return SAR_DEVICE_REMOVED;
  CK_TOKEN_INFO info{};
  const CK_RV rv = backend().functions()->C_GetTokenInfo(device->slot, &info);
  if (rv != CKR_OK) return settle(rv);
  const std::string serial = trimPadded(info.serialNumber, sizeof info.serialNumber);
  if (serial != device->serial) return SAR_DEVICE_REMOVED;  // another token in that slot now
  std::memset(pDevInfo, 0, sizeof *pDevInfo);
  pDevInfo->Version = {1, 0};
  const std::string maker = trimPadded(info.manufacturerID, sizeof info.manufacturerID);
  const std::string label = trimPadded(info.label, sizeof info.label);
  std::memcpy(pDevInfo->Manufacturer, maker.data(), maker.size());
  std::memcpy(pDevInfo->Label, label.data(), std::min(label.size(), sizeof pDevInfo->Label - 1));
  std::memcpy(pDevInfo->SerialNumber, serial.data(), serial.size());
  pDevInfo->HWVersion = {info.hardwareVersion.major, info.hardwareVersion.minor};
  pDevInfo->FirmwareVersion = {info.firmwareVersion.major, info.firmwareVersion.minor};
  return SAR_OK;
}

ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
  std::lock_guard guard(g_lock);
  const Device* device = deviceOf(hDev);
  if (device == nullptr) return SAR_INVALIDHANDLEERR;
  if (!current(*device)) return SAR_DEVICE_REMOVED;
  return writeList(backend().settings().application, szAppName, pulSize);
}

ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication) {
  std::lock_guard guard(g_lock);
  Device* device = deviceOf(hDev);
  if (device == nullptr) return SAR_INVALIDHANDLEERR;
  if (szAppName == nullptr || phApplication == nullptr) return SAR_INVALIDPARAMERR;
  if (!current(*device)) return SAR_DEVICE_REMOVED;
  if (backend().settings().application != szAppName) return SAR_APPLICATION_NOT_EXISTS;
  auto* application = new Application{device};
  g_live.emplace(application, Kind::application);
  *phApplication = application;
  return SAR_OK;
}

ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
  std::lock_guard guard(g_lock);
  if (!live(hApplication, Kind::application)) return SAR_INVALIDHANDLEERR;
  auto* application = static_cast<Application*>(hApplication);
  Device* device = application->device;
  if (live(device, Kind::device) && current(*device)) backend().functions()->C_Logout(device->session);
  g_live.erase(application);
  delete application;
  return SAR_OK;
}

ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount) {
  std::lock_guard guard(g_lock);
  Device* device = nullptr;
  if (const ULONG why = usable(hApplication, &device); why != SAR_OK) return why;
  if (ulPINType != USER_TYPE && ulPINType != ADMIN_TYPE) return SAR_USER_TYPE_INVALID;
  if (szPIN == nullptr) return SAR_INVALIDPARAMERR;  // never sent on as an empty PIN, which may cost a try
  const PinOwner owner = ulPINType == USER_TYPE ? PinOwner::user : PinOwner::admin;
  const CK_RV rv = login(backend().functions(), *device, owner == PinOwner::user ? CKU_USER : CKU_SO, szPIN);
  if (rv != CKR_OK) return refused(*device, rv, owner, pulRetryCount);
  return SAR_OK;
}

ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                    ULONG* pulRetryCount) {
  std::lock_guard guard(g_lock);
  Device* device = nullptr;
  if (const ULONG why = usable(hApplication, &device); why != SAR_OK) return why;
  if (ulPINType != USER_TYPE && ulPINType != ADMIN_TYPE) return SAR_USER_TYPE_INVALID;
  if (szOldPin == nullptr || szNewPin == nullptr) return SAR_INVALIDPARAMERR;
  CK_FUNCTION_LIST_PTR f = backend().functions();
  const PinOwner owner = ulPINType == USER_TYPE ? PinOwner::user : PinOwner::admin;
  const std::string oldPin = szOldPin, newPin = szNewPin;
  // C_SetPIN changes the PIN of whoever is logged in: the user's when none is.
  CK_RV rv = login(f, *device, owner == PinOwner::user ? CKU_USER : CKU_SO, oldPin);
  if (rv != CKR_OK) return refused(*device, rv, owner, pulRetryCount);
  rv = f->C_SetPIN(device->session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(oldPin.data())),
                   oldPin.size(), reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newPin.data())),
                   newPin.size());
  f->C_Logout(device->session);
  if (rv != CKR_OK) return refused(*device, rv, owner, pulRetryCount);
  return SAR_OK;
}

ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG* pulRetryCount) {
  std::lock_guard guard(g_lock);
  Device* device = nullptr;
  if (const ULONG why = usable(hApplication, &device); why != SAR_OK) return why;
  if (szAdminPIN == nullptr || szNewUserPIN == nullptr) return SAR_INVALIDPARAMERR;
  CK_FUNCTION_LIST_PTR f = backend().functions();
  CK_RV rv = login(f, *device, CKU_SO, szAdminPIN);
  if (rv != CKR_OK) return refused(*device, rv, PinOwner::admin, pulRetryCount);
  const std::string newPin = szNewUserPIN;
  rv = f->C_InitPIN(device->session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(newPin.data())),
                    newPin.size());
  f->C_Logout(device->session);
  if (rv != CKR_OK) return refused(*device, rv, PinOwner::admin, pulRetryCount);
  return SAR_OK;
}

}  // extern "C"
