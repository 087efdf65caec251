// SPDX-License-Identifier: MIT
// Reading a reply text back into its three values, accepting only the two envelope forms exactly
// as the service writes them. Shared by the dispatcher fuzz target, its replay test and the soak.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace reliability {

inline constexpr std::size_t kMaxReplyLength = 1023;

struct Envelope {
  std::string type;  // "VQUnSupport" for the form without a type text
  int code = 0;
  std::string data;
};

// The values of a reply that is {"type":"T", "code":"C", "data":"D"} with a non-empty T, C the
// decimal text of a signed 32-bit integer (no leading zeros, no "-0") and D free of double quotes,
// at most kMaxReplyLength characters; nothing for anything else. T is echoed unescaped by the
// service, so it may itself hold quotes or line ends: the reply is read from its end.
std::optional<Envelope> parseEnvelope(std::string_view reply);

}  // namespace reliability
