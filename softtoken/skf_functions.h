// SPDX-License-Identifier: MIT
// The names of the ten SKF functions the token offers, as fault injection refers to them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace softtoken {

// The ten names, "SKF_EnumDev" to "SKF_UnblockPIN".
std::span<const std::string_view> skfFunctionNames();

// The exact function name for a text that names one, ignoring case and allowing the "SKF_" prefix
// to be left out ("verifypin" gives "SKF_VerifyPIN"); nothing for any other text.
std::optional<std::string> canonicalSkfFunction(std::string_view text);

}  // namespace softtoken
