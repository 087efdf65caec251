// SPDX-License-Identifier: MIT
// The library's settings file: which PKCS#11 module, which token, and the names it lists.
#pragma once

#include <string>

#include "token/device_name.h"

namespace pkcs11skf {

struct Settings {
  std::string module = "p11-kit-proxy.so";  // the system's registered modules
  std::string tokenUri;                      // empty: the first initialised token
  std::string deviceName = token::kDeviceName; // the name the service connects to
  std::string application = "PKCS11";
  std::string error;                         // "file:line: why"; every call fails while set
};

// The file TOKENBRIDGE_PKCS11_CONF names, else /etc/tokenbridge/pkcs11.conf; defaults when the
// default file does not exist.
Settings loadSettings();

// Parses one file's text; `file` only names it in errors.
Settings parseSettings(const std::string& text, const std::string& file);

}  // namespace pkcs11skf
