// SPDX-License-Identifier: MIT
// The state file on disk: where it is, reading it under a shared lock, and changing it as one
// locked read-modify-write whose result replaces the file atomically.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "softtoken/token_state.h"

namespace softtoken {

// Where the state lives when nothing else is said.
inline constexpr const char* kDefaultStatePath = "/var/lib/softtoken/state.json";

// The given path if not empty, else $SOFTTOKEN_STATE if set and not empty, else the default.
std::string statePath(const std::string& override = {});

class StateFile {
 public:
  explicit StateFile(std::string path);

  const std::string& path() const { return path_; }
  std::string lockPath() const { return path_ + ".lock"; }

  // The current state; nothing when the file is missing, unreadable or malformed.
  std::optional<TokenState> load() const;

  // Holds the exclusive lock while it reads the state, lets change edit it (nothing in the optional
  // means no valid state) and, when change returns true, writes the result. change must leave a
  // state in the optional when it asks for a write. False when the write failed, with the reason
  // in *error if given; the file then still holds the old state.
  bool update(const std::function<bool(std::optional<TokenState>&)>& change, std::string* error = nullptr) const;

 private:
  std::string path_;
};

}  // namespace softtoken
