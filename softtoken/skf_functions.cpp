// SPDX-License-Identifier: MIT
// The ten SKF function names and the lenient lookup the command offers for them.
#include "softtoken/skf_functions.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace softtoken {

namespace {

constexpr std::array<std::string_view, 10> kNames = {
    "SKF_EnumDev",         "SKF_ConnectDev",       "SKF_DisConnectDev", "SKF_GetDevInfo",
    "SKF_EnumApplication", "SKF_OpenApplication",  "SKF_CloseApplication",
    "SKF_VerifyPIN",       "SKF_ChangePIN",        "SKF_UnblockPIN",
};

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

std::span<const std::string_view> skfFunctionNames() { return kNames; }

std::optional<std::string> canonicalSkfFunction(std::string_view text) {
  std::string wanted = lower(text);
  if (!wanted.starts_with("skf_")) wanted = "skf_" + wanted;
  for (std::string_view name : kNames) {
    if (lower(name) == wanted) return std::string(name);
  }
  return std::nullopt;
}

}  // namespace softtoken
