// SPDX-License-Identifier: MIT
// The rows: read the members, call the command once, turn its result into code and data.
#include "service/request_rows.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "crypto/commands.h"
#include "service/library_commands.h"
#include "service/members.h"
#include "token/commands.h"

namespace {

// The truth value of a command as a reply code: 0 for success, 1 for failure.
int inverse(unsigned char result) { return result != 0 ? 0 : 1; }

std::string decimal(int value) {
  char text[12];
  std::snprintf(text, sizeof text, "%d", value);
  return text;
}

std::string text(const Json::Value& request, const char* name) {
  std::string value = readText(request, name);
  if (value.size() > kArgumentMaxBytes) value.resize(kArgumentMaxBytes);
  return value;
}

// The i-th argument as a writable copy for the command (the commands change texts in place); an
// argument a job did not carry is empty.
std::string argument(const Arguments& arguments, std::size_t i) { return i < arguments.size() ? arguments[i] : ""; }
unsigned char* writable(std::string& value) { return reinterpret_cast<unsigned char*>(value.data()); }
const char* chars(const unsigned char* buffer) { return reinterpret_cast<const char*>(buffer); }

Arguments none(const Json::Value&) { return {}; }

Outcome runStartMonitor(const Arguments&) { return {StartMonitor(nullptr), "true"}; }

Outcome runGetLibVersion(const Arguments&) {
  unsigned char buffer[20] = {};
  GetLibVersion(buffer);
  return {0, chars(buffer)};
}

Outcome runOpenDevice(const Arguments&) {
  unsigned char buffer[10] = {};
  const int result = OpenDevice(buffer);
  return {result, chars(buffer)};
}

Outcome runGetDevState(const Arguments&) {
  int state;
  const unsigned char result = GetDevState(&state);
  return {inverse(result), result != 0 ? "1" : "0"};
}

Outcome runGetUserName(const Arguments&) {
  unsigned char buffer[33] = {};
  const unsigned char result = GetUserName(buffer);
  return {inverse(result), chars(buffer)};
}

Outcome runCloseDevice(const Arguments&) { return {inverse(CloseDevice()), ""}; }

// Closed token libraries copy PINs into small fixed buffers: a longer PIN never reaches one. An
// empty PIN (or none given) may cost a try on some tokens. Both are refused as the library refuses
// a PIN of the wrong length (nothing spent, the tries left unknown).
constexpr std::size_t kPinMaxBytes = 64;

bool pinUnusable(const std::string& pin) { return pin.empty() || pin.size() > kPinMaxBytes; }

Arguments readVerify(const Json::Value& request) { return {text(request, "parm2")}; }

Outcome runVerifyUserPin(const Arguments& arguments) {
  std::string pin = argument(arguments, 0);
  if (pinUnusable(pin)) return {1, "0"};
  int out = 0;
  const unsigned char result = VerifyUserPin(writable(pin), &out);
  return {inverse(result), decimal(out)};
}

Arguments readTwoPins(const Json::Value& request) { return {text(request, "parm1"), text(request, "parm2")}; }

using TwoPinCommand = unsigned char (*)(unsigned char*, unsigned char*, int*);

Outcome runTwoPins(TwoPinCommand command, const Arguments& arguments) {
  std::string first = argument(arguments, 0);
  std::string second = argument(arguments, 1);
  int out = -1;
  if (pinUnusable(first) || pinUnusable(second)) return {1, decimal(out)};
  const unsigned char result = command(writable(first), writable(second), &out);
  return {inverse(result), decimal(out)};
}

Outcome runChangeUserPin(const Arguments& arguments) { return runTwoPins(ChangeUserPin, arguments); }
Outcome runUnblockUserPin(const Arguments& arguments) { return runTwoPins(UnblockUserPin, arguments); }

Arguments readDigest(const Json::Value& request) { return {text(request, "parm1")}; }

Outcome runZPSHA1(const Arguments& arguments) {
  std::string message = argument(arguments, 0);
  unsigned char buffer[50] = {};
  const unsigned char result = ZPSHA1(writable(message), static_cast<int>(message.size()), buffer);
  return {inverse(result), chars(buffer)};
}

// The integers are read (a member that is no integer is refused as unparsable) but have no effect.
Arguments readCipher(const Json::Value& request) {
  return {decimal(readInt(request, "parm2")), decimal(readInt(request, "parm3")), text(request, "parm4"),
          decimal(readInt(request, "parm5"))};
}

Outcome runZPCrypt(const Arguments& arguments) {
  std::string blocks = argument(arguments, 2);
  unsigned char buffer[50] = {};
  const unsigned char result = ZPCrypt(std::atoi(argument(arguments, 0).c_str()), std::atoi(argument(arguments, 1).c_str()),
                                       writable(blocks), std::atoi(argument(arguments, 3).c_str()), buffer);
  return {inverse(result), chars(buffer)};
}

// The request types in the order they are compared: the first whose text equals the request's
// "type" exactly (case-sensitive, no trimming) runs. A new request is one row plus its functions.
constexpr Row kRows[] = {
    {"StartMonitor", none, runStartMonitor, false, false, 0, nullptr},
    {"OpenDevice", none, runOpenDevice, true, false, 1, "FALSE"},
    {"GetDevState", none, runGetDevState, true, true, 1, "0"},
    {"VerifyUserPin", readVerify, runVerifyUserPin, true, false, 1, "0"},
    {"GetUserName", none, runGetUserName, true, false, 1, ""},
    {"ChangeUserPin", readTwoPins, runChangeUserPin, true, false, 1, "-1"},
    {"UnblockUserPin", readTwoPins, runUnblockUserPin, true, false, 1, "-1"},
    {"GetLibVersion", none, runGetLibVersion, false, false, 0, nullptr},
    {"ZPSHA1", readDigest, runZPSHA1, true, false, 1, ""},
    {"ZPCrypt", readCipher, runZPCrypt, true, false, 1, ""},
    // Without a token nothing can be closed; after a token process ended mid-call the page must not
    // believe its close went through.
    {"CloseDevice", none, runCloseDevice, true, false, 1, ""},
};

}  // namespace

const Row* findRow(std::string_view type) {
  for (const Row& row : kRows) {
    if (type == row.type) return &row;
  }
  return nullptr;
}

std::uint8_t rowIndex(const Row& row) { return static_cast<std::uint8_t>(&row - std::begin(kRows)); }

const Row* rowAt(std::size_t index) { return index < std::size(kRows) ? &kRows[index] : nullptr; }
