// SPDX-License-Identifier: MIT
// Names of the SKF result codes, both ways, and the parser the command uses for a code argument
// (hexadecimal 0x0A000001, decimal, or a SAR_ name).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "token/skf.h"

namespace softtoken {

// "SAR_PIN_LOCKED" for 0x0A000025; empty for a code without a name.
std::string_view sarName(ULONG code);

// The code a text names, or nothing when it is neither a known SAR_ name nor a 32-bit number.
std::optional<ULONG> parseSarCode(std::string_view text);

// "0x0A000025 SAR_PIN_LOCKED", or just the hex when the code has no name.
std::string describeSar(ULONG code);

// A whole-text unsigned number, decimal or 0x hexadecimal, that fits in 32 bits.
std::optional<ULONG> parseNumber(std::string_view text);

}  // namespace softtoken
