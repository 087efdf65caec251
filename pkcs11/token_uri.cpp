// SPDX-License-Identifier: MIT
#include "pkcs11/token_uri.h"

#include <algorithm>
#include <cstdlib>

namespace pkcs11skf {
namespace {

std::optional<std::string> percentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const std::string hex = text.substr(i + 1, 2);
    char* end = nullptr;
    const long value = std::strtol(hex.c_str(), &end, 16);
    if (hex.size() != 2 || end != hex.c_str() + 2) return std::nullopt;
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<TokenUri> parseTokenUri(const std::string& text) {
  const std::string scheme = "pkcs11:";
  if (text.compare(0, scheme.size(), scheme) != 0) return std::nullopt;
  std::string path = text.substr(scheme.size());
  path = path.substr(0, path.find('?'));  // query attributes (pin-source ...) are not ours
  TokenUri uri;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = std::min(path.find(';', start), path.size());
    const std::string attribute = path.substr(start, end - start);
    start = end + 1;
    if (attribute.empty()) continue;
    const auto equals = attribute.find('=');
    if (equals == std::string::npos) return std::nullopt;
    auto value = percentDecode(attribute.substr(equals + 1));
    if (!value) return std::nullopt;
    const std::string name = attribute.substr(0, equals);
    if (name == "serial") uri.serial = *value;
    else if (name == "token") uri.label = *value;
    else if (name == "manufacturer") uri.manufacturer = *value;
    else if (name == "model") uri.model = *value;
  }
  return uri;
}

bool tokenMatches(const TokenUri& uri, const std::string& serial, const std::string& label,
                  const std::string& manufacturer, const std::string& model) {
  return (!uri.serial || *uri.serial == serial) && (!uri.label || *uri.label == label) &&
         (!uri.manufacturer || *uri.manufacturer == manufacturer) && (!uri.model || *uri.model == model);
}

std::string trimPadded(const unsigned char* text, std::size_t width) {
  std::size_t length = width;
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
  return std::string(reinterpret_cast<const char*>(text), length);
}

}  // namespace pkcs11skf
