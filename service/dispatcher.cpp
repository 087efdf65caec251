// SPDX-License-Identifier: MIT
// Parses each request, picks its command from the table of rows at the end of this file, builds the
// reply envelope and queues it. Failures become replies; nothing here closes a connection. The file
// reads from the socket side down: ev_handler, the parse and its error policy, then the rows.
#include "service/dispatcher.h"

#include <json/reader.h>
#include <json/value.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "crypto/commands.h"
#include "service/library_commands.h"
#include "service/members.h"
#include "service/reply.h"
#include "token/commands.h"

namespace {

// Reply data of the dispatcher's own errors (code -1).
constexpr char kNoMemory[] = "-1099";
constexpr char kUnparsable[] = "-1098";
constexpr char kUnknownType[] = "-1097";

// Where the two diagnostic lines of each request go; nullptr drops them unformatted.
std::FILE* g_console = nullptr;

// One request type and the function that reads its members, runs its command and builds the reply.
struct Row {
  std::string_view type;
  std::string (*run)(const std::string& type, const Json::Value& request);
};

std::string dispatch(const char* text, std::size_t length);
void printDiagnostics(const std::string& strOutData);
const Row* findRow(std::string_view type);

}  // namespace

void ev_handler(net::Connection* connection, int event, void* event_data) {
  if (event != net::EV_WEBSOCKET_FRAME) return;
  const auto* message = static_cast<const net::WebSocketMessage*>(event_data);
  const std::string strOutData = handleRequest(message->data, message->size);
  net::sendWebSocketFrame(connection, net::OP_TEXT, strOutData.data(), strOutData.size());
}

std::string handleRequest(const unsigned char* payload, std::size_t size) {
  // The request text ends at the first NUL byte of the message. It is parsed where it lies: the
  // message stays valid for the whole call, so no NUL-terminated copy is needed.
  const char* text = reinterpret_cast<const char*>(payload);
  const void* nul = size != 0 ? std::memchr(text, '\0', size) : nullptr;
  const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
  std::string strOutData = dispatch(text, length);
  printDiagnostics(strOutData);
  return strOutData;
}

void setDiagnosticConsole(std::FILE* console) { g_console = console; }

namespace {

// Parses the request text and runs its row. JsonCpp throws where a value cannot be converted (a
// top-level array, a string read as an integer, nesting deeper than it allows ...): every such
// request is answered as unparsable, and the connection stays.
std::string dispatch(const char* text, std::size_t length) {
  try {
    // Default features: comments allowed, any top-level value. The reader keeps nothing from one
    // parse to the next; reusing it only saves its allocations.
    static Json::Reader reader;
    Json::Value request;
    if (!reader.parse(text, text + length, request, false)) return getJsonData("", kUnparsable, -1);
    const std::string type = readText(request, "type");
    if (const Row* row = findRow(type)) return row->run(type, request);
    return getJsonData(typeThatFits(type, kUnknownType, -1), kUnknownType, -1);
  } catch (const std::bad_alloc&) {
    return getJsonData("", kNoMemory, -1);
  } catch (const std::exception&) {
    return getJsonData("", kUnparsable, -1);
  }
}

void printDiagnostics(const std::string& strOutData) {
  if (g_console == nullptr) return;
  std::fputs("---------------end end----------\n", g_console);
  // The same line as printf("-------------strOutData.c_str = %s----------\n"), without formatting.
  std::fputs("-------------strOutData.c_str = ", g_console);
  std::fputs(strOutData.c_str(), g_console);
  std::fputs("----------\n", g_console);
}

// The truth value of a command as a reply code: 0 for success, 1 for failure.
int inverse(unsigned char result) { return result != 0 ? 0 : 1; }

std::string decimal(int value) {
  char text[12];
  std::snprintf(text, sizeof text, "%d", value);
  return text;
}

// The text members a row passes to its command: copies the command may change in place.
unsigned char* writable(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }
const char* chars(const unsigned char* buffer) { return reinterpret_cast<const char*>(buffer); }

// ---- Rows: read the members, call the command once, turn its result into code and data. ----

std::string rowStartMonitor(const std::string& type, const Json::Value&) {
  return getJsonData(type, "true", StartMonitor(nullptr));
}

std::string rowOpenDevice(const std::string& type, const Json::Value&) {
  unsigned char buffer[10] = {};
  const int result = OpenDevice(buffer);
  return getJsonData(type, chars(buffer), result);
}

std::string rowGetDevState(const std::string& type, const Json::Value&) {
  int state;
  const unsigned char result = GetDevState(&state);
  return getJsonData(type, result != 0 ? "1" : "0", inverse(result));
}

std::string rowVerifyUserPin(const std::string& type, const Json::Value& request) {
  std::string pin = readText(request, "parm2");
  int out = 0;
  const unsigned char result = VerifyUserPin(writable(pin), &out);
  return getJsonData(type, decimal(out).c_str(), inverse(result));
}

std::string rowGetUserName(const std::string& type, const Json::Value&) {
  unsigned char buffer[33] = {};
  const unsigned char result = GetUserName(buffer);
  return getJsonData(type, chars(buffer), inverse(result));
}

std::string rowChangeUserPin(const std::string& type, const Json::Value& request) {
  std::string oldPin = readText(request, "parm1");
  std::string newPin = readText(request, "parm2");
  int out = -1;
  const unsigned char result = ChangeUserPin(writable(oldPin), writable(newPin), &out);
  return getJsonData(type, decimal(out).c_str(), inverse(result));
}

std::string rowUnblockUserPin(const std::string& type, const Json::Value& request) {
  std::string adminPin = readText(request, "parm1");
  std::string newUserPin = readText(request, "parm2");
  int out = -1;
  const unsigned char result = UnblockUserPin(writable(adminPin), writable(newUserPin), &out);
  return getJsonData(type, decimal(out).c_str(), inverse(result));
}

std::string rowGetLibVersion(const std::string& type, const Json::Value&) {
  unsigned char buffer[20] = {};
  GetLibVersion(buffer);
  return getJsonData(type, chars(buffer), 0);
}

std::string rowZPSHA1(const std::string& type, const Json::Value& request) {
  std::string text = readText(request, "parm1");
  unsigned char buffer[50] = {};
  const unsigned char result = ZPSHA1(writable(text), static_cast<int>(text.size()), buffer);
  return getJsonData(type, chars(buffer), inverse(result));
}

std::string rowZPCrypt(const std::string& type, const Json::Value& request) {
  const int parm2 = readInt(request, "parm2");
  const int parm3 = readInt(request, "parm3");
  std::string parm4 = readText(request, "parm4");
  const int parm5 = readInt(request, "parm5");
  unsigned char buffer[50] = {};
  const unsigned char result = ZPCrypt(parm2, parm3, writable(parm4), parm5, buffer);
  return getJsonData(type, chars(buffer), inverse(result));
}

std::string rowCloseDevice(const std::string& type, const Json::Value&) {
  return getJsonData(type, "", inverse(CloseDevice()));
}

// The request types in the order they are compared: the first whose text equals the request's
// "type" exactly (case-sensitive, no trimming) runs. A new request is one row plus its function.
constexpr Row kRows[] = {
    {.type = "StartMonitor", .run = rowStartMonitor},
    {.type = "OpenDevice", .run = rowOpenDevice},
    {.type = "GetDevState", .run = rowGetDevState},
    {.type = "VerifyUserPin", .run = rowVerifyUserPin},
    {.type = "GetUserName", .run = rowGetUserName},
    {.type = "ChangeUserPin", .run = rowChangeUserPin},
    {.type = "UnblockUserPin", .run = rowUnblockUserPin},
    {.type = "GetLibVersion", .run = rowGetLibVersion},
    {.type = "ZPSHA1", .run = rowZPSHA1},
    {.type = "ZPCrypt", .run = rowZPCrypt},
    {.type = "CloseDevice", .run = rowCloseDevice},
};

const Row* findRow(std::string_view type) {
  for (const Row& row : kRows) {
    if (type == row.type) return &row;
  }
  return nullptr;
}

}  // namespace
