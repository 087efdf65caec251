// SPDX-License-Identifier: MIT
// Opt-in misbehaviours of a closed maker's library that the software token can imitate, so the
// daemon's bounds on what a library returns are tested through the real interface. Off unless a
// test or an operator turns one on ("softtoken quirk NAME on"); kept in the state file.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace softtoken {

struct Quirk {
  std::string_view name_;
  std::string_view what_;  // one line for the usage text and README
};

// unterminated-lists: a name list fills the caller's whole buffer with the names repeated and no
//   NUL at all, and reports the buffer's size.
// overstated-sizes: every name-list size reported is 4096 bytes more than was written or is needed.
// understated-sizes: a filled name list reports half the bytes it wrote.
// huge-size-query: a name-list size query (no buffer) answers 0xFFFFFFFF; filling works as usual.
// opens-network: every SKF_EnumDev first opens an Internet socket (and closes it), and fails with
//   SAR_FAIL when that is refused, as a library that reaches the network would notice.
// unterminated-serial: a 32-character serial fills DEVINFO's serial field with no NUL (without
//   it, the software token cuts such a serial to 31 characters).
// oversized-devinfo: SKF_GetDevInfo writes 64 bytes past the 294-byte record, as a library built
//   with another layout of the record would.
// wide-ulong: built with 8-byte ULONG (unsigned long on 64-bit Linux): every ULONG read or written
//   through a pointer (sizes, tries left) is 8 bytes, and so is each ULONG in the device record.
std::span<const Quirk> knownQuirks();

// The quirk's exact name, or nothing when no quirk has that name.
std::optional<std::string> canonicalQuirk(std::string_view name);

inline constexpr std::string_view kUnterminatedLists = "unterminated-lists";
inline constexpr std::string_view kOverstatedSizes = "overstated-sizes";
inline constexpr std::string_view kUnderstatedSizes = "understated-sizes";
inline constexpr std::string_view kHugeSizeQuery = "huge-size-query";
inline constexpr std::string_view kOversizedDevInfo = "oversized-devinfo";
inline constexpr std::string_view kUnterminatedSerial = "unterminated-serial";
inline constexpr std::size_t kOversizedDevInfoExtra = 64;  // bytes written past the record
inline constexpr std::string_view kWideUlong = "wide-ulong";
inline constexpr std::string_view kOpensNetwork = "opens-network";

}  // namespace softtoken
