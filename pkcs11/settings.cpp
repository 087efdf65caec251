// SPDX-License-Identifier: MIT
#include "pkcs11/settings.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "pkcs11/token_uri.h"

namespace pkcs11skf {
namespace {

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Sets one key; an empty text when it was accepted, else why not.
std::string apply(Settings& settings, const std::string& key, const std::string& value) {
  if (value.empty()) return "empty value for '" + key + "'";
  if (key == "module") {
    settings.module = value;
  } else if (key == "token") {
    if (!parseTokenUri(value)) return "not a pkcs11: token URI: '" + value + "'";
    settings.tokenUri = value;
  } else if (key == "device-name") {
    settings.deviceName = value;
  } else if (key == "application") {
    settings.application = value;
  } else {
    return "unknown key '" + key + "'";
  }
  return {};
}

}  // namespace

Settings parseSettings(const std::string& text, const std::string& file) {
  Settings settings;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const auto hash = line.find('#');
    // A URI may hold '#' only percent-encoded, so a '#' always starts a comment.
    line = trim(hash == std::string::npos ? line : line.substr(0, hash));
    if (line.empty()) continue;
    const auto equals = line.find('=');
    std::string why = equals == std::string::npos
                          ? "expected 'key = value'"
                          : apply(settings, trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
    if (!why.empty()) {
      settings.error = file + ":" + std::to_string(number) + ": " + why;
      return settings;
    }
  }
  return settings;
}

Settings loadSettings() {
  const char* named = std::getenv("TOKENBRIDGE_PKCS11_CONF");
  const std::string file = named != nullptr && *named != '\0' ? named : "/etc/tokenbridge/pkcs11.conf";
  std::ifstream in(file);
  if (!in) {
    Settings settings;
    if (named != nullptr && *named != '\0') settings.error = file + ": cannot be read";
    return settings;
  }
  std::stringstream text;
  text << in.rdbuf();
  return parseSettings(text.str(), file);
}

}  // namespace pkcs11skf
