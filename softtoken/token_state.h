// SPDX-License-Identifier: MIT
// What the software token is: presence, names, PINs with their retry counters, the plug epoch and
// the injected faults, and how that state is written as JSON and checked when read back.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "token/device_name.h"
#include "token/skf.h"

namespace softtoken {

constexpr std::size_t kPinMinLength = 6;
constexpr std::size_t kPinMaxLength = 16;
constexpr std::size_t kSerialMaxLength = 32;  // DEVINFO's SerialNumber field
constexpr std::size_t kNameMaxLength = 64;    // device and application names
constexpr ULONG kRetriesMax = 255;

// One PIN and its counter: tries_ is what is left, 0 means locked; maximum_ is what a right PIN
// restores.
struct PinState {
  std::string pin_;
  ULONG tries_ = 0;
  ULONG maximum_ = 0;

  bool operator==(const PinState&) const = default;
};

// A chosen SKF function returns code_ without doing anything else; once_ removes the fault after
// its first use.
struct Fault {
  ULONG code_ = SAR_FAIL;
  bool once_ = false;
};

struct TokenState {
  bool present_ = true;
  // Counts insertions; a handle made under one epoch is dead in every other.
  std::uint64_t epoch_ = 1;
  std::string device_ = token::kDeviceName;
  std::string serial_ = "TB0123456789ABCDEF01";
  std::vector<std::string> applications_ = {"TOKENBRIDGE"};
  PinState user_ = {"12345678", 6, 6};
  PinState admin_ = {"admin12345", 10, 10};
  std::map<std::string, Fault> faults_;  // keyed by the exact SKF function name
  std::set<std::string> quirks_;          // names from softtoken/quirks.h that are on
  // The timing of a slow or wedged token. delays_: milliseconds each call to a function takes, "*"
  // for every function (a function's own entry wins). stuck_: a call to one of these functions
  // does not return until the name is removed. calls_: calls counted, for the functions listed.
  std::map<std::string, ULONG> delays_;
  std::set<std::string> stuck_;
  std::map<std::string, std::uint64_t> calls_;
  // A call to one of these functions ends the process with SIGSEGV, as a maker's library may;
  // true: only the next call (the entry is removed, and written, before the crash).
  std::map<std::string, bool> crashes_;
};

// Every function, for delays_.
inline constexpr const char* kEveryFunction = "*";
constexpr ULONG kDelayMaxMs = 60000;

Json::Value toJson(const TokenState& state);

// The state a JSON value holds, or nothing when any member is missing, of the wrong type or out
// of range: a damaged file must read as "no token", never as half a token.
std::optional<TokenState> fromJson(const Json::Value& value);

// The state a text holds (see fromJson); nothing for text that is not JSON.
std::optional<TokenState> parseState(const std::string& text);

// The file's text: indented JSON ending with a newline.
std::string formatState(const TokenState& state);

// True when a PIN's length is within the token's limits.
bool pinLengthValid(std::string_view pin);

}  // namespace softtoken
