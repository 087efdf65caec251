// SPDX-License-Identifier: MIT
// Retry counters: a wrong PIN costs one try, none left locks the PIN for good (until an unblock
// for the user PIN), a right PIN restores the maximum. Lengths are checked before a try is spent.
#include "softtoken/pin_rules.h"

namespace softtoken {

namespace {

PinOutcome refused(ULONG code, ULONG tries) { return PinOutcome{code, tries, true}; }

PinOutcome check(PinState& pin, std::string_view given) {
  if (pin.tries_ == 0) return refused(SAR_PIN_LOCKED, 0);
  if (!pinLengthValid(given)) return refused(SAR_PIN_LEN_RANGE, pin.tries_);
  if (given != pin.pin_) {
    --pin.tries_;
    return refused(pin.tries_ == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT, pin.tries_);
  }
  pin.tries_ = pin.maximum_;
  return PinOutcome{};
}

PinState* pinOfType(TokenState& state, ULONG type) {
  if (type == ADMIN_TYPE) return &state.admin_;
  if (type == USER_TYPE) return &state.user_;
  return nullptr;
}

}  // namespace

PinOutcome verifyPin(TokenState& state, ULONG type, std::string_view pin) {
  PinState* target = pinOfType(state, type);
  if (target == nullptr) return PinOutcome{SAR_USER_TYPE_INVALID};
  return check(*target, pin);
}

PinOutcome changePin(TokenState& state, ULONG type, std::string_view oldPin, std::string_view newPin) {
  PinState* target = pinOfType(state, type);
  if (target == nullptr) return PinOutcome{SAR_USER_TYPE_INVALID};
  const PinOutcome verified = check(*target, oldPin);
  if (verified.code_ != SAR_OK) return verified;
  if (!pinLengthValid(newPin)) return refused(SAR_PIN_LEN_RANGE, target->tries_);
  target->pin_ = newPin;
  return PinOutcome{};
}

PinOutcome unblockPin(TokenState& state, std::string_view adminPin, std::string_view newUserPin) {
  const PinOutcome verified = check(state.admin_, adminPin);
  if (verified.code_ != SAR_OK) return verified;
  if (!pinLengthValid(newUserPin)) return refused(SAR_PIN_LEN_RANGE, state.admin_.tries_);
  state.user_.pin_ = newUserPin;
  state.user_.tries_ = state.user_.maximum_;
  return PinOutcome{};
}

}  // namespace softtoken
