// SPDX-License-Identifier: MIT
// Handle values count up from a fixed base in steps of 16 and are never reused, so a closed handle
// can never come back to life as someone else's.
#include "softtoken/handle_table.h"

namespace softtoken {

namespace {

// Far from small integers and from the addresses a stray pointer would hold.
constexpr std::uintptr_t kHandleBase = 0x5EED0000;
constexpr std::uintptr_t kHandleStep = 16;

std::uintptr_t key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

HANDLE HandleTable::add(const HandleEntry& entry) {
  const std::lock_guard guard(mutex_);
  const std::uintptr_t value = kHandleBase + kHandleStep * ++next_;
  entries_[value] = entry;
  return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleEntry> HandleTable::find(HANDLE handle, HandleKind kind) const {
  const std::lock_guard guard(mutex_);
  const auto it = entries_.find(key(handle));
  if (it == entries_.end() || it->second.kind_ != kind) return std::nullopt;
  return it->second;
}

void HandleTable::remove(HANDLE handle) {
  const std::lock_guard guard(mutex_);
  entries_.erase(key(handle));
  std::erase_if(entries_, [handle](const auto& item) {
    return item.second.kind_ == HandleKind::Application && item.second.device_ == handle;
  });
}

HandleTable& handleTable() {
  static HandleTable table;
  return table;
}

}  // namespace softtoken
