// SPDX-License-Identifier: MIT
// Argument checks for the softtoken command. Every refusal names the argument and the rule it
// broke, so a mistyped test set-up fails loudly instead of writing a token nobody asked for.
#include "softtoken/cli_args.h"

#include <algorithm>
#include <istream>

#include "softtoken/quirks.h"
#include "softtoken/sar_codes.h"
#include "softtoken/skf_functions.h"

namespace softtoken {

namespace {

bool fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

bool parseRetries(const std::string& option, const std::string& text, PinState& pin, std::string* error) {
  const std::optional<ULONG> n = parseNumber(text);
  if (!n || *n < 1 || *n > kRetriesMax) {
    return fail(error, option + ": '" + text + "' is not a number from 1 to " + std::to_string(kRetriesMax));
  }
  pin.tries_ = pin.maximum_ = *n;
  return true;
}

// A refused PIN is described by its length only: the text may be a real PIN mistyped, and error
// messages end up in terminals and logs.
bool parsePin(const std::string& option, const std::string& text, PinState& pin, std::string* error) {
  if (!pinLengthValid(text)) {
    return fail(error, option + ": a PIN has " + std::to_string(kPinMinLength) + " to " +
                           std::to_string(kPinMaxLength) + " characters, the one given has " +
                           std::to_string(text.size()));
  }
  pin.pin_ = text;
  return true;
}

bool parseName(const std::string& option, const std::string& text, std::size_t maxLength, std::string& out,
               std::string* error) {
  if (text.empty() || text.size() > maxLength) {
    return fail(error, option + ": '" + text + "' must have 1 to " + std::to_string(maxLength) + " characters");
  }
  out = text;
  return true;
}

// Applies one "init" option that takes a value.
bool applyInitOption(const std::string& option, const std::string& value, TokenState& state,
                     std::vector<std::string>& apps, std::string* error) {
  if (option == "--serial") return parseName(option, value, kSerialMaxLength, state.serial_, error);
  if (option == "--device") return parseName(option, value, kNameMaxLength, state.device_, error);
  if (option == "--user-pin") return parsePin(option, value, state.user_, error);
  if (option == "--admin-pin") return parsePin(option, value, state.admin_, error);
  if (option == "--user-retries") return parseRetries(option, value, state.user_, error);
  if (option == "--admin-retries") return parseRetries(option, value, state.admin_, error);
  if (option == "--app") {
    std::string name;
    if (!parseName(option, value, kNameMaxLength, name, error)) return false;
    if (std::find(apps.begin(), apps.end(), name) != apps.end()) {
      return fail(error, "--app: '" + name + "' is given twice");
    }
    apps.push_back(name);
    return true;
  }
  return fail(error, "init: unknown option '" + option + "'");
}

// The two lines of --pins-from-stdin: the user PIN, then the administrator PIN.
bool readPins(std::istream& in, TokenState& state, std::string* error) {
  const char* const labels[] = {"--pins-from-stdin: line 1 (user PIN)", "--pins-from-stdin: line 2 (admin PIN)"};
  PinState* const pins[] = {&state.user_, &state.admin_};
  for (int i = 0; i < 2; ++i) {
    std::string line;
    if (!std::getline(in, line)) {
      return fail(error, "--pins-from-stdin: standard input must hold the user PIN on one line and the admin PIN "
                         "on the next");
    }
    if (line.ends_with('\r')) line.pop_back();
    if (!parsePin(labels[i], line, *pins[i], error)) return false;
  }
  return true;
}

}  // namespace

std::optional<Arguments> splitArguments(const std::vector<std::string>& words, std::string* error) {
  Arguments args;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--state") {
      if (i + 1 >= words.size() || words[i + 1].empty()) {
        fail(error, "--state needs a path");
        return std::nullopt;
      }
      args.statePath_ = words[++i];
    } else if (word.starts_with("--state=")) {
      args.statePath_ = word.substr(8);
      if (args.statePath_.empty()) {
        fail(error, "--state needs a path");
        return std::nullopt;
      }
    } else if (args.command_.empty()) {
      args.command_ = word;
    } else {
      args.rest_.push_back(word);
    }
  }
  if (args.command_.empty()) {
    fail(error, "no command given");
    return std::nullopt;
  }
  return args;
}

std::optional<TokenState> parseInit(const std::vector<std::string>& options, std::istream& pinInput,
                                    std::string* error) {
  TokenState state;
  std::vector<std::string> apps;
  bool pinsFromInput = false;
  bool pinsGiven = false;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    if (option == "--absent") {
      state.present_ = false;
      continue;
    }
    if (option == "--pins-from-stdin") {
      pinsFromInput = true;
      continue;
    }
    if (option == "--user-pin" || option == "--admin-pin") pinsGiven = true;
    if (!option.starts_with("--")) {
      fail(error, "init: unexpected argument '" + option + "'");
      return std::nullopt;
    }
    if (i + 1 >= options.size()) {
      fail(error, "init: " + option + " needs a value");
      return std::nullopt;
    }
    if (!applyInitOption(option, options[++i], state, apps, error)) return std::nullopt;
  }
  if (pinsFromInput && pinsGiven) {
    fail(error, "init: --pins-from-stdin replaces --user-pin and --admin-pin; give one or the other");
    return std::nullopt;
  }
  if (pinsFromInput && !readPins(pinInput, state, error)) return std::nullopt;
  if (!apps.empty()) state.applications_ = apps;
  return state;
}

namespace {

// The words of a command that takes --once anywhere among them, without it; `once` tells if it was there.
std::vector<std::string> withoutOnce(const std::vector<std::string>& options, bool& once) {
  std::vector<std::string> words;
  once = false;
  for (const std::string& option : options) {
    if (option == "--once") {
      once = true;
    } else {
      words.push_back(option);
    }
  }
  return words;
}

// The SKF function a command names, spelled as the library exports it; nothing (and why) if none.
std::optional<std::string> namedFunction(const std::string& command, const std::string& word, std::string* error) {
  std::optional<std::string> function = canonicalSkfFunction(word);
  if (!function) {
    fail(error, command + ": '" + word + "' is not one of the ten SKF functions (SKF_EnumDev ... SKF_UnblockPIN)");
  }
  return function;
}

}  // namespace

std::optional<FaultRequest> parseFail(const std::vector<std::string>& options, std::string* error) {
  bool once = false;
  const std::vector<std::string> words = withoutOnce(options, once);
  if (words.size() != 2) {
    fail(error, "fail: usage is 'fail FUNCTION CODE [--once]'");
    return std::nullopt;
  }
  const std::optional<std::string> function = namedFunction("fail", words[0], error);
  if (!function) return std::nullopt;
  const std::optional<ULONG> code = parseSarCode(words[1]);
  if (!code) {
    fail(error, "fail: '" + words[1] + "' is neither a SAR_ name nor a 32-bit number");
    return std::nullopt;
  }
  if (*code == SAR_OK) {
    fail(error, "fail: a fault needs a non-zero code");
    return std::nullopt;
  }
  return FaultRequest{*function, Fault{*code, once}};
}

std::optional<TimingRequest> parseTiming(const std::string& command, const std::vector<std::string>& options,
                                         std::string* error) {
  const bool slow = command == "slow";
  const std::size_t functionAt = slow ? 1 : 0;
  if (options.size() != functionAt + 1 && !(slow && options.size() == 1)) {
    fail(error, command + (slow ? ": usage is 'slow MS [FUNCTION]'" : ": usage is '" + command + " FUNCTION'"));
    return std::nullopt;
  }
  TimingRequest request{.function_ = kEveryFunction, .delayMs_ = 0};
  if (slow) {
    const std::optional<ULONG> ms = parseNumber(options[0]);
    if (!ms || *ms > kDelayMaxMs) {
      fail(error, "slow: '" + options[0] + "' is not a number of milliseconds from 0 to " + std::to_string(kDelayMaxMs));
      return std::nullopt;
    }
    request.delayMs_ = *ms;
  }
  if (options.size() > functionAt) {
    const std::optional<std::string> function = namedFunction(command, options[functionAt], error);
    if (!function) return std::nullopt;
    request.function_ = *function;
  }
  return request;
}

std::optional<CrashRequest> parseCrash(const std::vector<std::string>& options, std::string* error) {
  bool once = false;
  const std::vector<std::string> words = withoutOnce(options, once);
  if (words.size() != 1) {
    fail(error, "crash: usage is 'crash FUNCTION [--once]'");
    return std::nullopt;
  }
  const std::optional<std::string> function = namedFunction("crash", words[0], error);
  if (!function) return std::nullopt;
  return CrashRequest{*function, once};
}

std::optional<QuirkRequest> parseQuirk(const std::vector<std::string>& options, std::string* error) {
  if (options.size() != 2 || (options[1] != "on" && options[1] != "off")) {
    fail(error, "quirk: usage is 'quirk NAME on|off'");
    return std::nullopt;
  }
  const std::optional<std::string> name = canonicalQuirk(options[0]);
  if (!name) {
    std::string known;
    for (const Quirk& quirk : knownQuirks()) known += (known.empty() ? "" : ", ") + std::string(quirk.name_);
    fail(error, "quirk: '" + options[0] + "' is not a quirk (" + known + ")");
    return std::nullopt;
  }
  return QuirkRequest{*name, options[1] == "on"};
}

}  // namespace softtoken
