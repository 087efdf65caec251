// SPDX-License-Identifier: MIT
#include "service/consent/agent_line.h"

#include <json/json.h>

#include <cstring>
#include <exception>
#include <memory>

namespace consent::agent_line {
namespace {

// Agents and the daemon send flat objects (one array, of flat objects, in a list reply): anything
// deeper is not the protocol, and the reader's own limit (about a thousand) would throw.
constexpr int kMaxDepth = 4;

std::optional<Json::Value> parseObject(std::string_view line) {
  Json::CharReaderBuilder builder;
  builder["stackLimit"] = kMaxDepth;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  try {
    if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors)) return std::nullopt;
  } catch (const std::exception&) {  // past the depth limit
    return std::nullopt;
  }
  if (!value.isObject()) return std::nullopt;
  return value;
}

std::string compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// The member, or null when the object has none (a member set to null is a wrong type, not none).
const Json::Value* member(const Json::Value& object, const char* key) { return object.find(key, key + std::strlen(key)); }

std::optional<std::string> stringOf(const Json::Value& object, const char* key) {
  const Json::Value* value = member(object, key);
  if (!value || !value->isString()) return std::nullopt;
  return value->asString();
}

Request requestOf(const Json::Value& object) {
  if (const Json::Value* answer = member(object, "answer")) {
    if (!answer->isString()) return Invalid{"answer must be a string"};
    const std::optional<std::string> decision = stringOf(object, "decision");
    if (!decision || (*decision != "allow" && *decision != "block")) {
      return Invalid{"decision must be \"allow\" or \"block\""};
    }
    bool remember = false;
    if (const Json::Value* value = member(object, "remember")) {
      if (!value->isBool()) return Invalid{"remember must be true or false"};
      remember = value->asBool();
    }
    return Answer{answer->asString(), *decision == "allow", remember};
  }
  if (const Json::Value* forget = member(object, "forget")) {
    if (!forget->isString()) return Invalid{"forget must be a string"};
    return Forget{forget->asString()};
  }
  if (const Json::Value* list = member(object, "list")) {
    if (!list->isBool()) return Invalid{"list must be true"};
    return List{};
  }
  return Invalid{"expected answer, list or forget"};
}

std::optional<Message> messageOf(const Json::Value& object) {
  if (const std::optional<std::string> question = stringOf(object, "ask")) {
    const std::optional<std::string> origin = stringOf(object, "origin");
    if (!origin) return std::nullopt;
    int waiting = 0;
    if (const Json::Value* value = member(object, "waiting")) {
      if (!value->isInt() || value->asInt() < 0) return std::nullopt;
      waiting = value->asInt();
    }
    return Ask{*question, *origin, waiting};
  }
  if (const std::optional<std::string> question = stringOf(object, "withdraw")) return Withdraw{*question};
  if (const Json::Value* remembered = member(object, "remembered")) {
    if (!remembered->isArray()) return std::nullopt;
    Remembered list;
    for (const Json::Value& entry : *remembered) {
      if (!entry.isObject()) return std::nullopt;
      const std::optional<std::string> origin = stringOf(entry, "origin");
      const std::optional<std::string> decision = stringOf(entry, "decision");
      if (!origin || !decision || (*decision != "allow" && *decision != "block")) return std::nullopt;
      list.entries.emplace_back(*origin, *decision == "allow");
    }
    return list;
  }
  if (const std::optional<std::string> origin = stringOf(object, "forgot")) {
    const Json::Value* found = member(object, "found");
    if (!found || !found->isBool()) return std::nullopt;
    return Forgot{*origin, found->asBool()};
  }
  if (const std::optional<std::string> text = stringOf(object, "error")) return Error{*text};
  return std::nullopt;
}

struct Formatter {
  Json::Value object{Json::objectValue};
  void operator()(const Answer& answer) {
    object["answer"] = answer.question;
    object["decision"] = answer.allow ? "allow" : "block";
    object["remember"] = answer.remember;
  }
  void operator()(const List&) { object["list"] = true; }
  void operator()(const Forget& forget) { object["forget"] = forget.origin; }
  void operator()(const Invalid& invalid) { object["error"] = invalid.why; }
  void operator()(const Ask& ask) {
    object["ask"] = ask.question;
    object["origin"] = ask.origin;
    if (ask.waiting != 0) object["waiting"] = ask.waiting;
  }
  void operator()(const Withdraw& withdraw) { object["withdraw"] = withdraw.question; }
  void operator()(const Remembered& remembered) {
    object["remembered"] = Json::Value(Json::arrayValue);
    for (const auto& [origin, allow] : remembered.entries) {
      Json::Value entry(Json::objectValue);
      entry["origin"] = origin;
      entry["decision"] = allow ? "allow" : "block";
      object["remembered"].append(entry);
    }
  }
  void operator()(const Forgot& forgot) {
    object["forgot"] = forgot.origin;
    object["found"] = forgot.found;
  }
  void operator()(const Error& error) { object["error"] = error.text; }
};

}  // namespace

std::optional<Request> parseRequest(std::string_view line) {
  const std::optional<Json::Value> object = parseObject(line);
  if (!object) return std::nullopt;
  return requestOf(*object);
}

std::optional<Message> parseMessage(std::string_view line) {
  const std::optional<Json::Value> object = parseObject(line);
  if (!object) return std::nullopt;
  return messageOf(*object);
}

std::string format(const Request& request) {
  Formatter formatter;
  std::visit(formatter, request);
  return compact(formatter.object);
}

std::string format(const Message& message) {
  Formatter formatter;
  std::visit(formatter, message);
  return compact(formatter.object);
}

}  // namespace consent::agent_line
