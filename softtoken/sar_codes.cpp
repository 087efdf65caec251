// SPDX-License-Identifier: MIT
// The table of SAR_ names and values from token/skf.h, and number parsing for the command line.
#include "softtoken/sar_codes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace softtoken {

namespace {

struct SarRow {
  std::string_view name;
  ULONG code;
};

// One row per code declared in token/skf.h.
constexpr SarRow kSarRows[] = {
    {"SAR_OK", SAR_OK},
    {"SAR_FAIL", SAR_FAIL},
    {"SAR_UNKNOWNERR", SAR_UNKNOWNERR},
    {"SAR_NOTSUPPORTYETERR", SAR_NOTSUPPORTYETERR},
    {"SAR_FILEERR", SAR_FILEERR},
    {"SAR_INVALIDHANDLEERR", SAR_INVALIDHANDLEERR},
    {"SAR_INVALIDPARAMERR", SAR_INVALIDPARAMERR},
    {"SAR_READFILEERR", SAR_READFILEERR},
    {"SAR_WRITEFILEERR", SAR_WRITEFILEERR},
    {"SAR_NAMELENERR", SAR_NAMELENERR},
    {"SAR_MEMORYERR", SAR_MEMORYERR},
    {"SAR_BUFFER_TOO_SMALL", SAR_BUFFER_TOO_SMALL},
    {"SAR_DEVICE_REMOVED", SAR_DEVICE_REMOVED},
    {"SAR_PIN_INCORRECT", SAR_PIN_INCORRECT},
    {"SAR_PIN_LOCKED", SAR_PIN_LOCKED},
    {"SAR_PIN_INVALID", SAR_PIN_INVALID},
    {"SAR_PIN_LEN_RANGE", SAR_PIN_LEN_RANGE},
    {"SAR_USER_ALREADY_LOGGED_IN", SAR_USER_ALREADY_LOGGED_IN},
    {"SAR_USER_PIN_NOT_INITIALIZED", SAR_USER_PIN_NOT_INITIALIZED},
    {"SAR_USER_TYPE_INVALID", SAR_USER_TYPE_INVALID},
    {"SAR_APPLICATION_NAME_INVALID", SAR_APPLICATION_NAME_INVALID},
    {"SAR_APPLICATION_EXISTS", SAR_APPLICATION_EXISTS},
    {"SAR_USER_NOT_LOGGED_IN", SAR_USER_NOT_LOGGED_IN},
    {"SAR_APPLICATION_NOT_EXISTS", SAR_APPLICATION_NOT_EXISTS},
};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string_view sarName(ULONG code) {
  for (const SarRow& row : kSarRows) {
    if (row.code == code) return row.name;
  }
  return {};
}

std::optional<ULONG> parseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  ULONG value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ULONG> parseSarCode(std::string_view text) {
  for (const SarRow& row : kSarRows) {
    if (sameIgnoringCase(row.name, text)) return row.code;
  }
  return parseNumber(text);
}

std::string describeSar(ULONG code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const std::string_view name = sarName(code);
  return name.empty() ? std::string(hex) : std::string(hex) + " " + std::string(name);
}

}  // namespace softtoken
