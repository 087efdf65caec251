// SPDX-License-Identifier: MIT
// The state file's JSON form. Reading is strict: every member must be there with its type and
// within its limits, so a file damaged by hand or by a foreign writer never yields a half token.
#include "softtoken/token_state.h"

#include <memory>
#include <set>
#include <sstream>

#include "softtoken/quirks.h"
#include "softtoken/skf_functions.h"

namespace softtoken {

namespace {

constexpr int kFormatVersion = 1;

Json::Value pinToJson(const PinState& pin) {
  Json::Value out(Json::objectValue);
  out["pin"] = pin.pin_;
  out["tries_left"] = pin.tries_;
  out["max_tries"] = pin.maximum_;
  return out;
}

bool isCount(const Json::Value& v, ULONG low, ULONG high) {
  return v.isUInt() && v.asUInt() >= low && v.asUInt() <= high;
}

bool isName(const Json::Value& v, std::size_t maxLength) {
  return v.isString() && !v.asString().empty() && v.asString().size() <= maxLength &&
         v.asString().find('\0') == std::string::npos;
}

std::optional<PinState> pinFromJson(const Json::Value& v) {
  if (!v.isObject() || !v["pin"].isString() || !pinLengthValid(v["pin"].asString())) return std::nullopt;
  if (!isCount(v["max_tries"], 1, kRetriesMax)) return std::nullopt;
  if (!isCount(v["tries_left"], 0, v["max_tries"].asUInt())) return std::nullopt;
  return PinState{v["pin"].asString(), v["tries_left"].asUInt(), v["max_tries"].asUInt()};
}

bool faultsFromJson(const Json::Value& v, std::map<std::string, Fault>& faults) {
  if (!v.isObject()) return false;
  for (const std::string& name : v.getMemberNames()) {
    const Json::Value& f = v[name];
    const std::optional<std::string> function = canonicalSkfFunction(name);
    if (!function || *function != name || !f.isObject()) return false;
    if (!f["code"].isUInt() || f["code"].asUInt() == SAR_OK || !f["once"].isBool()) return false;
    faults[name] = Fault{f["code"].asUInt(), f["once"].asBool()};
  }
  return true;
}

// Optional, so that files written before quirks existed still read; when there, only known names.
bool quirksFromJson(const Json::Value& v, std::set<std::string>& quirks) {
  if (v.isNull()) return true;
  if (!v.isArray()) return false;
  for (const Json::Value& name : v) {
    if (!name.isString() || !canonicalQuirk(name.asString())) return false;
    quirks.insert(name.asString());
  }
  return true;
}

// A function name as the library spells it, or "*" where every function is meant.
bool isFunctionKey(const std::string& name, bool everyAllowed) {
  if (everyAllowed && name == kEveryFunction) return true;
  const std::optional<std::string> function = canonicalSkfFunction(name);
  return function && *function == name;
}

// The timing members are optional, so that files written before them still read.
bool timingFromJson(const Json::Value& v, TokenState& state) {
  const Json::Value& delays = v["delays"];
  const Json::Value& stuck = v["stuck"];
  const Json::Value& calls = v["calls"];
  if ((!delays.isNull() && !delays.isObject()) || (!stuck.isNull() && !stuck.isArray()) ||
      (!calls.isNull() && !calls.isObject())) {
    return false;
  }
  for (const std::string& name : delays.getMemberNames()) {
    if (!isFunctionKey(name, true) || !isCount(delays[name], 1, kDelayMaxMs)) return false;
    state.delays_[name] = delays[name].asUInt();
  }
  for (const Json::Value& name : stuck) {
    if (!name.isString() || !isFunctionKey(name.asString(), false)) return false;
    state.stuck_.insert(name.asString());
  }
  for (const std::string& name : calls.getMemberNames()) {
    if (!isFunctionKey(name, false) || !calls[name].isUInt64()) return false;
    state.calls_[name] = calls[name].asUInt64();
  }
  return true;
}

// Optional like the timing members: {"SKF_EnumDev": {"once": true}}.
bool crashesFromJson(const Json::Value& v, TokenState& state) {
  const Json::Value& crashes = v["crashes"];
  if (crashes.isNull()) return true;
  if (!crashes.isObject()) return false;
  for (const std::string& name : crashes.getMemberNames()) {
    const Json::Value& crash = crashes[name];
    if (!isFunctionKey(name, false) || !crash.isObject() || !crash["once"].isBool()) return false;
    state.crashes_[name] = crash["once"].asBool();
  }
  return true;
}

}  // namespace

bool pinLengthValid(std::string_view pin) {
  return pin.size() >= kPinMinLength && pin.size() <= kPinMaxLength;
}

Json::Value toJson(const TokenState& state) {
  Json::Value out(Json::objectValue);
  out["format"] = kFormatVersion;
  out["present"] = state.present_;
  out["epoch"] = Json::UInt64(state.epoch_);
  out["device"] = state.device_;
  out["serial"] = state.serial_;
  out["applications"] = Json::Value(Json::arrayValue);
  for (const std::string& app : state.applications_) out["applications"].append(app);
  out["user"] = pinToJson(state.user_);
  out["admin"] = pinToJson(state.admin_);
  out["faults"] = Json::Value(Json::objectValue);
  for (const auto& [name, fault] : state.faults_) {
    out["faults"][name]["code"] = fault.code_;
    out["faults"][name]["once"] = fault.once_;
  }
  out["quirks"] = Json::Value(Json::arrayValue);
  for (const std::string& quirk : state.quirks_) out["quirks"].append(quirk);
  for (const auto& [name, ms] : state.delays_) out["delays"][name] = ms;
  for (const std::string& name : state.stuck_) out["stuck"].append(name);
  for (const auto& [name, count] : state.calls_) out["calls"][name] = Json::UInt64(count);
  for (const auto& [name, once] : state.crashes_) out["crashes"][name]["once"] = once;
  return out;
}

std::optional<TokenState> fromJson(const Json::Value& v) {
  if (!v.isObject() || !v["format"].isInt() || v["format"].asInt() != kFormatVersion) return std::nullopt;
  TokenState state;
  if (!v["present"].isBool() || !v["epoch"].isUInt64()) return std::nullopt;
  state.present_ = v["present"].asBool();
  state.epoch_ = v["epoch"].asUInt64();
  if (!isName(v["device"], kNameMaxLength) || !isName(v["serial"], kSerialMaxLength)) return std::nullopt;
  state.device_ = v["device"].asString();
  state.serial_ = v["serial"].asString();
  if (!v["applications"].isArray()) return std::nullopt;
  state.applications_.clear();
  std::set<std::string> seen;
  for (const Json::Value& app : v["applications"]) {
    if (!isName(app, kNameMaxLength) || !seen.insert(app.asString()).second) return std::nullopt;
    state.applications_.push_back(app.asString());
  }
  std::optional<PinState> user = pinFromJson(v["user"]);
  std::optional<PinState> admin = pinFromJson(v["admin"]);
  if (!user || !admin) return std::nullopt;
  state.user_ = *user;
  state.admin_ = *admin;
  if (!faultsFromJson(v["faults"], state.faults_)) return std::nullopt;
  if (!quirksFromJson(v["quirks"], state.quirks_)) return std::nullopt;
  if (!timingFromJson(v, state)) return std::nullopt;
  if (!crashesFromJson(v, state)) return std::nullopt;
  return state;
}

std::optional<TokenState> parseState(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return std::nullopt;
  return fromJson(value);
}

std::string formatState(const TokenState& state) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return Json::writeString(builder, toJson(state)) + "\n";
}

}  // namespace softtoken
