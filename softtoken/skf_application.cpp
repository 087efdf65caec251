// SPDX-License-Identifier: MIT
// The application half of the SKF interface: list, open and close applications, and the PIN
// calls, whose rules live in pin_rules.cpp.
#include <algorithm>
#include <optional>

#include "softtoken/pin_rules.h"
#include "softtoken/skf_call.h"

using softtoken::CallState;
using softtoken::HandleEntry;
using softtoken::HandleKind;
using softtoken::handleTable;
using softtoken::PinOutcome;

namespace {

// SAR_OK with the entry in *entry when handle is a live handle of that kind on a plugged token.
ULONG liveHandle(HANDLE handle, HandleKind kind, const CallState& call, HandleEntry* entry) {
  const std::optional<HandleEntry> found = handleTable().find(handle, kind);
  if (!found) return SAR_INVALIDHANDLEERR;
  *entry = *found;
  return softtoken::checkLive(*found, call);
}

// Runs a PIN rule on an open application. The state is written whenever a counter or a PIN
// changed, and also after an accepted PIN: an outcome that cannot be recorded is SAR_WRITEFILEERR
// for the right PIN as for a wrong one, so a token whose file cannot be written is no oracle for
// unlimited guessing. The tries the rule reports are given only once the outcome is stored; when it
// cannot be, the count holds the tries the file still records for the checked PIN (`checkedType`),
// so a caller reads "refused, tries left" rather than "locked".
ULONG pinCall(const char* function, HAPPLICATION hApplication, ULONG* pulRetryCount, bool argumentsGiven,
              ULONG checkedType, const std::function<PinOutcome(softtoken::TokenState&)>& rule) {
  std::optional<PinOutcome> outcome;
  std::optional<ULONG> storedTries;
  std::set<std::string> quirks;
  const ULONG rv = softtoken::runSkfCall(function, [&](CallState& call) {
    HandleEntry app;
    if (const ULONG live = liveHandle(hApplication, HandleKind::Application, call, &app); live != SAR_OK) {
      return live;
    }
    quirks = call.state_->quirks_;
    if (!argumentsGiven || pulRetryCount == nullptr) return SAR_INVALIDPARAMERR;
    softtoken::TokenState& state = *call.state_;
    const softtoken::PinState user = state.user_;
    const softtoken::PinState admin = state.admin_;
    if (checkedType == ADMIN_TYPE || checkedType == USER_TYPE) {
      storedTries = (checkedType == ADMIN_TYPE ? admin : user).tries_;
    }
    outcome = rule(state);
    call.changed_ = outcome->code_ == SAR_OK || user != state.user_ || admin != state.admin_;
    return outcome->code_;
  });
  if (outcome && rv == outcome->code_ && outcome->reportTries_) softtoken::writeUlong(pulRetryCount, outcome->tries_, quirks);
  if (outcome && rv == SAR_WRITEFILEERR && storedTries) softtoken::writeUlong(pulRetryCount, *storedTries, quirks);
  return rv;
}

}  // namespace

ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG* pulSize) {
  return softtoken::runSkfCall("SKF_EnumApplication", [&](CallState& call) {
    HandleEntry device;
    if (const ULONG live = liveHandle(hDev, HandleKind::Device, call, &device); live != SAR_OK) return live;
    if (pulSize == nullptr) return SAR_INVALIDPARAMERR;
    return softtoken::putNameList(call.state_->applications_, call.state_->quirks_, szAppName, pulSize);
  });
}

ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION* phApplication) {
  return softtoken::runSkfCall("SKF_OpenApplication", [&](CallState& call) {
    HandleEntry device;
    if (const ULONG live = liveHandle(hDev, HandleKind::Device, call, &device); live != SAR_OK) return live;
    if (szAppName == nullptr || phApplication == nullptr) return SAR_INVALIDPARAMERR;
    const auto& apps = call.state_->applications_;
    if (std::find(apps.begin(), apps.end(), szAppName) == apps.end()) return SAR_APPLICATION_NOT_EXISTS;
    *phApplication = handleTable().add(HandleEntry{HandleKind::Application, call.path_, device.epoch_, hDev});
    return SAR_OK;
  });
}

// Forgets the handle; on a pulled token the answer is SAR_DEVICE_REMOVED (see SKF_DisConnectDev).
ULONG SKF_CloseApplication(HAPPLICATION hApplication) {
  return softtoken::runSkfCall("SKF_CloseApplication", [&](CallState& call) {
    HandleEntry app;
    const ULONG live = liveHandle(hApplication, HandleKind::Application, call, &app);
    if (live != SAR_INVALIDHANDLEERR) handleTable().remove(hApplication);
    return live;
  });
}

ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG* pulRetryCount) {
  return pinCall("SKF_VerifyPIN", hApplication, pulRetryCount, szPIN != nullptr, ulPINType,
                 [&](softtoken::TokenState& state) { return softtoken::verifyPin(state, ulPINType, szPIN); });
}

ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                    ULONG* pulRetryCount) {
  return pinCall("SKF_ChangePIN", hApplication, pulRetryCount, szOldPin != nullptr && szNewPin != nullptr, ulPINType,
                 [&](softtoken::TokenState& state) {
                   return softtoken::changePin(state, ulPINType, szOldPin, szNewPin);
                 });
}

ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG* pulRetryCount) {
  return pinCall("SKF_UnblockPIN", hApplication, pulRetryCount, szAdminPIN != nullptr && szNewUserPIN != nullptr, ADMIN_TYPE,
                 [&](softtoken::TokenState& state) {
                   return softtoken::unblockPin(state, szAdminPIN, szNewUserPIN);
                 });
}
