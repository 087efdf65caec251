// SPDX-License-Identifier: MIT
// The frame of every SKF call: one locked read-modify-write of the state file, an injected fault
// answered before anything else, then the function's own body.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "softtoken/handle_table.h"
#include "softtoken/token_state.h"

namespace softtoken {

// What a call's body sees: the state file's path, its state (nothing: no valid state file, so no
// token) and a flag the body sets when it changed the state and it must be written.
struct CallState {
  const std::string& path_;
  std::optional<TokenState>& state_;
  bool changed_ = false;
};

// Runs body under the state file's exclusive lock and returns its code. A fault set for function
// is returned instead, without running body (a once-only fault is removed in the same write).
// SAR_WRITEFILEERR when a change could not be written; the file then holds the old state.
ULONG runSkfCall(std::string_view function, const std::function<ULONG(CallState&)>& body);

// SAR_OK while the handle's token is still the one in the state file and has stayed plugged in
// since the handle was made; SAR_DEVICE_REMOVED otherwise, also after a later re-plug.
ULONG checkLive(const HandleEntry& entry, const CallState& call);

// A ULONG behind a caller's pointer, as this library's build reads and writes it: 4 bytes, or 8
// (little-endian) with the wide-ulong quirk on.
ULONG readUlong(const ULONG* at, const std::set<std::string>& quirks);
void writeUlong(ULONG* at, ULONG value, const std::set<std::string>& quirks);

// Copies a NUL-separated name list ending with an extra NUL into buffer (null: size query only).
// An empty list has size 0. *size receives the size needed; SAR_BUFFER_TOO_SMALL when *size was
// less than that on entry and buffer is not null. The quirks that are on (see quirks.h) bend the
// answer the way a faulty library would.
ULONG putNameList(const std::vector<std::string>& names, const std::set<std::string>& quirks, LPSTR buffer,
                  ULONG* size);

}  // namespace softtoken
