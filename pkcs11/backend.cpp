// SPDX-License-Identifier: MIT
#include "pkcs11/backend.h"

#include <dlfcn.h>
#include <syslog.h>
#include <unistd.h>

#include <vector>

#include "pkcs11/result_map.h"
#include "pkcs11/token_uri.h"

namespace pkcs11skf {

Backend& backend() {
  static Backend instance;
  return instance;
}

const Settings& Backend::settings() {
  if (!settings_) {
    settings_ = loadSettings();
    if (!settings_->error.empty())
      syslog(LOG_ERR, "tokenbridge pkcs11 library: %s; every token call fails", settings_->error.c_str());
  }
  return *settings_;
}

bool Backend::initialise() {
  if (module_ == nullptr) {
    module_ = dlopen(settings().module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
      syslog(LOG_ERR, "tokenbridge pkcs11 library: cannot load module %s: %s", settings().module.c_str(), dlerror());
      return false;
    }
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
    if (get == nullptr || get(&list_) != CKR_OK || list_ == nullptr) {
      syslog(LOG_ERR, "tokenbridge pkcs11 library: %s is not a PKCS#11 module", settings().module.c_str());
      dlclose(module_);
      module_ = nullptr;
      list_ = nullptr;
      return false;
    }
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = list_->C_Initialize(&args);
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    // Inherited through fork, or left over: start this process's own use afresh.
    list_->C_Finalize(nullptr);
    rv = list_->C_Initialize(&args);
  }
  if (rv != CKR_OK) {
    syslog(LOG_ERR, "tokenbridge pkcs11 library: C_Initialize returned 0x%08lX", static_cast<unsigned long>(rv));
    return false;
  }
  initialisedIn_ = getpid();
  ++generation_;
  return true;
}

CK_FUNCTION_LIST_PTR Backend::functions() {
  if (!settings().error.empty()) return nullptr;
  if (initialisedIn_ != getpid() && !initialise()) return nullptr;
  return list_;
}

void Backend::markGone() {
  // Only this process's own initialisation is finalised; a child's inherited one is redone.
  if (list_ != nullptr && initialisedIn_ == getpid()) list_->C_Finalize(nullptr);
  initialisedIn_ = 0;
}

std::optional<FoundToken> Backend::scan(const std::string& serial) {
  CK_FUNCTION_LIST_PTR f = functions();
  if (f == nullptr) return std::nullopt;
  CK_ULONG count = 0;
  CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  if (rv == CKR_OK && count > 0) rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
  if (rv != CKR_OK) {
    if (meansBackendGone(rv)) markGone();
    return std::nullopt;
  }
  slots.resize(count);
  const auto uri = parseTokenUri(settings().tokenUri.empty() ? "pkcs11:" : settings().tokenUri);
  for (CK_SLOT_ID slot : slots) {
    FoundToken found{slot, {}, {}};
    if (f->C_GetTokenInfo(slot, &found.info) != CKR_OK) continue;
    if (!(found.info.flags & CKF_TOKEN_INITIALIZED)) continue;  // a spare, uninitialised slot
    found.serial = trimPadded(found.info.serialNumber, sizeof found.info.serialNumber);
    if (!serial.empty() && found.serial != serial) continue;
    if (!tokenMatches(*uri, found.serial, trimPadded(found.info.label, sizeof found.info.label),
                      trimPadded(found.info.manufacturerID, sizeof found.info.manufacturerID),
                      trimPadded(found.info.model, sizeof found.info.model)))
      continue;
    return found;
  }
  return std::nullopt;
}

std::optional<FoundToken> Backend::findToken(const std::string& serial) {
  if (auto found = scan(serial)) return found;
  if (functions() == nullptr && !settings().error.empty()) return std::nullopt;
  markGone();
  return scan(serial);
}

}  // namespace pkcs11skf
