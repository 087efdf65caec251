// SPDX-License-Identifier: MIT
// The device half of the SKF interface: enumerate, connect, disconnect and describe the token.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "softtoken/quirks.h"
#include "softtoken/skf_call.h"

using softtoken::CallState;
using softtoken::HandleEntry;
using softtoken::HandleKind;
using softtoken::handleTable;

namespace {

// Cut to leave the field's last byte zero (a reader may take any field as a C string), unless the
// field is to be filled whole.
void copyText(char* field, std::size_t size, std::string_view text, bool fill = false) {
  std::memcpy(field, text.data(), std::min(fill ? size : size - 1, text.size()));
}

// The record as a library built with 8-byte ULONG lays it out (still packed): the same bytes up to
// FirmwareVersion, then each ULONG in 8 bytes, then Reserved; 326 bytes in all.
void putWideDevInfo(const DEVINFO& info, DEVINFO* out) {
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  std::size_t at = offsetof(DEVINFO, AlgSymCap);
  std::memcpy(bytes, &info, at);
  for (const ULONG value : {info.AlgSymCap, info.AlgAsymCap, info.AlgHashCap, info.DevAuthAlgId, info.TotalSpace,
                            info.FreeSpace, info.MaxECCBufferSize, info.MaxBufferSize}) {
    const std::uint64_t wide = value;
    std::memcpy(bytes + at, &wide, sizeof wide);
    at += sizeof wide;
  }
  std::memcpy(bytes + at, info.Reserved, sizeof info.Reserved);
}

}  // namespace

// bPresent non-zero lists the token only while it is plugged in; zero lists it whenever a state
// file describes one. No token: SAR_OK and size 0.
ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize) {
  return softtoken::runSkfCall("SKF_EnumDev", [&](CallState& call) {
    if (pulSize == nullptr) return SAR_INVALIDPARAMERR;
    if (call.state_ && call.state_->quirks_.contains(std::string(softtoken::kOpensNetwork))) {
      // As a library that phones home would: refused, the call fails.
      const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (probe < 0) return SAR_FAIL;
      ::close(probe);
    }
    std::vector<std::string> names;
    if (call.state_ && (call.state_->present_ || !bPresent)) names.push_back(call.state_->device_);
    static const std::set<std::string> kNoQuirks;
    return softtoken::putNameList(names, call.state_ ? call.state_->quirks_ : kNoQuirks, szNameList, pulSize);
  });
}

// A name other than the token's is refused with SAR_INVALIDPARAMERR: there is no such device to
// connect. With no token plugged in the answer is SAR_DEVICE_REMOVED.
ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  return softtoken::runSkfCall("SKF_ConnectDev", [&](CallState& call) {
    if (szName == nullptr || phDev == nullptr) return SAR_INVALIDPARAMERR;
    if (!call.state_ || !call.state_->present_) return SAR_DEVICE_REMOVED;
    if (call.state_->device_ != szName) return SAR_INVALIDPARAMERR;
    *phDev = handleTable().add(HandleEntry{HandleKind::Device, call.path_, call.state_->epoch_, nullptr});
    return SAR_OK;
  });
}

// Forgets the handle and its applications. A handle whose token was pulled is forgotten too, but
// the answer is SAR_DEVICE_REMOVED, as for every other call on it.
ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
  return softtoken::runSkfCall("SKF_DisConnectDev", [&](CallState& call) {
    const std::optional<HandleEntry> device = handleTable().find(hDev, HandleKind::Device);
    if (!device) return SAR_INVALIDHANDLEERR;
    handleTable().remove(hDev);
    return softtoken::checkLive(*device, call);
  });
}

ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  return softtoken::runSkfCall("SKF_GetDevInfo", [&](CallState& call) {
    const std::optional<HandleEntry> device = handleTable().find(hDev, HandleKind::Device);
    if (!device) return SAR_INVALIDHANDLEERR;
    if (pDevInfo == nullptr) return SAR_INVALIDPARAMERR;
    if (const ULONG live = softtoken::checkLive(*device, call); live != SAR_OK) return live;
    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    info.Version = {1, 0};
    copyText(info.Manufacturer, sizeof info.Manufacturer, "tokenbridge software token");
    copyText(info.Issuer, sizeof info.Issuer, "tokenbridge test state file");
    copyText(info.Label, sizeof info.Label, "SOFTTOKEN");
    // A 32-character serial is cut to 31 and terminated; a maker's library may fill the field.
    copyText(info.SerialNumber, sizeof info.SerialNumber, call.state_->serial_,
             call.state_->quirks_.contains(std::string(softtoken::kUnterminatedSerial)));
    info.HWVersion = {1, 0};
    info.FirmwareVersion = {1, 0};
    info.TotalSpace = 64 * 1024;
    info.FreeSpace = 60 * 1024;
    info.MaxBufferSize = 2048;
    if (call.state_->quirks_.contains(std::string(softtoken::kWideUlong))) {
      putWideDevInfo(info, pDevInfo);
    } else {
      std::memcpy(pDevInfo, &info, sizeof info);
    }
    if (call.state_->quirks_.contains(std::string(softtoken::kOversizedDevInfo))) {
      std::memset(reinterpret_cast<unsigned char*>(pDevInfo) + sizeof info, 0xEE, softtoken::kOversizedDevInfoExtra);
    }
    return SAR_OK;
  });
}
