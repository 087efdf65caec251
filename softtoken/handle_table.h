// SPDX-License-Identifier: MIT
// The library's in-process table of open device and application handles. A handle is an opaque
// number looked up here and never dereferenced, so stale and foreign handles are recognised.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "token/skf.h"

namespace softtoken {

enum class HandleKind { Device, Application };

// What a handle was made for: the state file and plug epoch of its token, and for an application
// the device handle it was opened on.
struct HandleEntry {
  HandleKind kind_ = HandleKind::Device;
  std::string path_;
  std::uint64_t epoch_ = 0;
  HANDLE device_ = nullptr;
};

class HandleTable {
 public:
  // A new handle, never one given out before in this process.
  HANDLE add(const HandleEntry& entry);

  // The entry of a live handle of that kind; nothing for a closed, foreign or other-kind handle.
  std::optional<HandleEntry> find(HANDLE handle, HandleKind kind) const;

  // Forgets the handle, and for a device every application opened on it.
  void remove(HANDLE handle);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, HandleEntry> entries_;
  std::uintptr_t next_ = 0;
};

// The process's one table.
HandleTable& handleTable();

}  // namespace softtoken
