// SPDX-License-Identifier: MIT
// The token attributes of a "pkcs11:" URI (serial, token label, manufacturer, model) and whether a
// token matches them.
#pragma once

#include <optional>
#include <string>

namespace pkcs11skf {

struct TokenUri {
  std::optional<std::string> serial, label, manufacturer, model;
};

// Nothing when the text is not a pkcs11: URI; attributes it does not know are ignored.
std::optional<TokenUri> parseTokenUri(const std::string& text);

// Fields as the token reports them, blank padding already trimmed.
bool tokenMatches(const TokenUri& uri, const std::string& serial, const std::string& label,
                  const std::string& manufacturer, const std::string& model);

// A fixed-width, blank-padded PKCS#11 text without its padding.
std::string trimPadded(const unsigned char* text, std::size_t width);

}  // namespace pkcs11skf
