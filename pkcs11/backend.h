// SPDX-License-Identifier: MIT
// The PKCS#11 module behind the library: loaded with dlopen and initialised at the first call (never
// at load: the daemon forks after loading), initialised again in a forked child and after the
// module reported its backend gone. Never blocks waiting for slot events; callers poll.
#pragma once

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>

#include "pkcs11/settings.h"

namespace pkcs11skf {

struct FoundToken {
  CK_SLOT_ID slot;
  std::string serial;
  CK_TOKEN_INFO info;
};

class Backend {
 public:
  // The settings, read once; their error (if any) goes to syslog once.
  const Settings& settings();
  // The module's functions, initialised for this process; nullptr when that failed (logged).
  CK_FUNCTION_LIST_PTR functions();
  // The token the settings choose (initialised, matching the URI), looked up from scratch. When none
  // is found the module is initialised again and asked once more, since some modules only show a
  // token that came back after that.
  std::optional<FoundToken> findToken(const std::string& serial = {});
  // Forget the module's state after it reported the token or backend gone.
  void markGone();
  // Changes whenever the module is initialised again; sessions from another generation are dead.
  unsigned generation() const { return generation_; }

 private:
  std::optional<FoundToken> scan(const std::string& serial);
  bool initialise();

  std::optional<Settings> settings_;
  void* module_ = nullptr;
  CK_FUNCTION_LIST_PTR list_ = nullptr;
  long initialisedIn_ = 0;  // the process id that called C_Initialize, 0 for none
  unsigned generation_ = 0;
};

Backend& backend();

}  // namespace pkcs11skf
