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

// One row per key: its name and how its value is read into the settings. An empty text when the
// value was taken, else why not.
struct Key {
  const char* name;
  std::string (*read)(const std::string& value, Settings& settings);
};

constexpr Key kKeys[] = {
    {"module", [](const std::string& value, Settings& s) { return s.module = value, std::string(); }},
    {"token",
     [](const std::string& value, Settings& s) {
       if (!parseTokenUri(value)) return "not a pkcs11: token URI: '" + value + "'";
       s.tokenUri = value;
       return std::string();
     }},
    {"device-name", [](const std::string& value, Settings& s) { return s.deviceName = value, std::string(); }},
    {"application", [](const std::string& value, Settings& s) { return s.application = value, std::string(); }},
};

std::string apply(Settings& settings, const std::string& key, const std::string& value) {
  if (value.empty()) return "empty value for '" + key + "'";
  for (const Key& row : kKeys) {
    if (key == row.name) return row.read(value, settings);
  }
  return "unknown key '" + key + "'";
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
  const char* named = secure_getenv("TOKENBRIDGE_PKCS11_CONF");
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
