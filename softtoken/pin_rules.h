// SPDX-License-Identifier: MIT
// The token's PIN rules on the state alone (no handles, no file): verify, change and unblock with
// their retry counters, as a real token applies them.
#pragma once

#include "softtoken/token_state.h"

namespace softtoken {

// What a PIN operation answers: the SKF code and the tries left to report through the caller's
// retry count (left untouched on success and for argument errors, which set reportTries_ false).
struct PinOutcome {
  ULONG code_ = SAR_OK;
  ULONG tries_ = 0;
  bool reportTries_ = false;
};

// PIN type 0 is the administrator PIN, 1 the user PIN; anything else is SAR_USER_TYPE_INVALID.
// The checks run in this order: type, lock (SAR_PIN_LOCKED, 0 tries, for right and wrong PINs
// alike), length of the PIN given (SAR_PIN_LEN_RANGE, counter untouched), the PIN itself (wrong:
// one try fewer, SAR_PIN_INCORRECT, or SAR_PIN_LOCKED when none are left; right: the counter is
// back at its maximum).
PinOutcome verifyPin(TokenState& state, ULONG type, std::string_view pin);

// Verifies the old PIN by the rules above, then checks the new PIN's length and sets it.
PinOutcome changePin(TokenState& state, ULONG type, std::string_view oldPin, std::string_view newPin);

// Verifies the administrator PIN by the rules above (the tries reported are the administrator's),
// then checks the new user PIN's length, sets it and gives the user PIN all its tries back.
PinOutcome unblockPin(TokenState& state, std::string_view adminPin, std::string_view newUserPin);

}  // namespace softtoken
