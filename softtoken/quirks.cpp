// SPDX-License-Identifier: MIT
// The names of the library misbehaviours the software token can imitate.
#include "softtoken/quirks.h"

#include <array>

namespace softtoken {

namespace {

constexpr std::array<Quirk, 8> kQuirks = {{
    {kUnterminatedLists, "name lists fill the whole buffer without any NUL and report its size"},
    {kOverstatedSizes, "name-list sizes are reported 4096 bytes too large"},
    {kUnderstatedSizes, "a filled name list reports half the bytes it wrote"},
    {kHugeSizeQuery, "a name-list size query answers 0xFFFFFFFF"},
    {kOversizedDevInfo, "SKF_GetDevInfo writes 64 bytes past the 294-byte record"},
    {kUnterminatedSerial, "a 32-character serial fills the device record's field with no NUL"},
    {kWideUlong, "ULONGs behind pointers and in the device record are 8 bytes, as built with unsigned long"},
    {kOpensNetwork, "SKF_EnumDev opens an Internet socket first and fails with SAR_FAIL when that is refused"},
}};

}  // namespace

std::span<const Quirk> knownQuirks() { return kQuirks; }

std::optional<std::string> canonicalQuirk(std::string_view name) {
  for (const Quirk& quirk : kQuirks) {
    if (quirk.name_ == name) return std::string(quirk.name_);
  }
  return std::nullopt;
}

}  // namespace softtoken
