// SPDX-License-Identifier: MIT
// Parses each request, picks its command from the table of rows at the end of this file, builds the
// reply envelope and queues it. Failures become replies; nothing here closes a connection. The file
// reads from the socket side down: ev_handler, the parse and its error policy, then the rows.
#include "service/dispatcher.h"

#include <json/reader.h>
#include <json/value.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "crypto/commands.h"
#include "net/hold.h"
#include "service/library_commands.h"
#include "service/members.h"
#include "service/reply.h"
#include "service/token_thread.h"
#include "service/consent/upgrade_consent.h"
#include "token/commands.h"

namespace {

// Reply data of the dispatcher's own errors (code -1).
constexpr char kNoMemory[] = "-1099";
constexpr char kUnparsable[] = "-1098";
constexpr char kUnknownType[] = "-1097";

// Where the two diagnostic lines of each request go; nullptr drops them unformatted.
std::FILE* g_console = nullptr;

// Where the requests that need the token go; nullptr runs them on the calling thread. Atomic so
// tests may set it while a loop runs.
std::atomic<TokenThread*> g_tokenThread = nullptr;

// Decides about the upgrades of pages; nullptr serves them all. Used on the loop only.
UpgradeConsent* g_upgradeConsent = nullptr;

// One request type and the function that reads its members, runs its command and builds the reply.
struct Row {
  std::string_view type;
  std::string (*run)(const std::string& type, const Json::Value& request);
  bool token;  // calls into the token library, so it runs on the token thread
};

// A parsed request and its row, or, with no row, the reply already decided (unparsable, unknown).
struct Parsed {
  const Row* row = nullptr;
  std::string type;
  Json::Value request;
  std::string reply;
};

Parsed parse(const unsigned char* payload, std::size_t size);
std::string run(const Parsed& parsed);
void printDiagnostics(const std::string& strOutData);
const Row* findRow(std::string_view type);

// A held connection waiting for its reply from the token thread.
class HeldConnection : public TokenWaiter {
 public:
  explicit HeldConnection(net::Hold hold) : hold_(std::move(hold)) {}
  bool abandoned() const override { return hold_.abandoned(); }
  void answer(std::string text) override {
    printDiagnostics(text);
    hold_.reply(std::move(text));
  }

 private:
  net::Hold hold_;
};

}  // namespace

void ev_handler(net::Connection* connection, int event, void* event_data) {
  if (g_upgradeConsent != nullptr) {
    if (event != net::EV_WEBSOCKET_FRAME) return g_upgradeConsent->onEvent(connection, event, event_data);
    if (g_upgradeConsent->undecided(connection)) return;
  }
  if (event != net::EV_WEBSOCKET_FRAME) return;
  const auto* message = static_cast<const net::WebSocketMessage*>(event_data);
  Parsed parsed = parse(message->data, message->size);
  TokenThread* tokenThread = g_tokenThread.load(std::memory_order_acquire);
  if (parsed.row != nullptr && parsed.row->token && tokenThread != nullptr) {
    try {
      // The connection reads no further message until this reply is queued: its replies keep
      // the order of its requests, and it has at most one job at the token at a time.
      TokenJob job{.presenceCheck = parsed.row->type == "GetDevState",
                   .work = [parsed = std::make_shared<const Parsed>(std::move(parsed))] { return run(*parsed); },
                   .waiter = nullptr};
      job.waiter = std::make_unique<HeldConnection>(net::hold(connection));
      tokenThread->submit(std::move(job));
      return;
    } catch (const std::bad_alloc&) {
      // A hold taken here was given up with the job (the connection reads on); answered below.
      parsed = Parsed{.row = nullptr, .type = {}, .request = {}, .reply = getJsonData("", kNoMemory, -1)};
    }
  }
  const std::string strOutData = parsed.row != nullptr ? run(parsed) : std::move(parsed.reply);
  printDiagnostics(strOutData);
  net::sendWebSocketFrame(connection, net::OP_TEXT, strOutData.data(), strOutData.size());
}

std::string handleRequest(const unsigned char* payload, std::size_t size) {
  const Parsed parsed = parse(payload, size);
  std::string strOutData = parsed.row != nullptr ? run(parsed) : parsed.reply;
  printDiagnostics(strOutData);
  return strOutData;
}

void setDiagnosticConsole(std::FILE* console) { g_console = console; }

void setTokenThread(TokenThread* thread) { g_tokenThread.store(thread, std::memory_order_release); }

void setUpgradeConsent(UpgradeConsent* consent) { g_upgradeConsent = consent; }

namespace {

// Parses the request text and finds its row. JsonCpp throws where a value cannot be converted (a
// top-level array, a string read as an integer, nesting deeper than it allows ...): every such
// request is answered as unparsable, and the connection stays.
Parsed parse(const unsigned char* payload, std::size_t size) {
  // The request text ends at the first NUL byte of the message. It is parsed where it lies: the
  // message stays valid for the whole call, so no NUL-terminated copy is needed.
  const char* text = reinterpret_cast<const char*>(payload);
  const void* nul = size != 0 ? std::memchr(text, '\0', size) : nullptr;
  const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
  Parsed parsed;
  try {
    // Default features: comments allowed, any top-level value. The reader keeps nothing from one
    // parse to the next; reusing it only saves its allocations. Loop thread only.
    static Json::Reader reader;
    if (!reader.parse(text, text + length, parsed.request, false)) {
      parsed.reply = getJsonData("", kUnparsable, -1);
      return parsed;
    }
    parsed.type = readText(parsed.request, "type");
    parsed.row = findRow(parsed.type);
    if (parsed.row == nullptr) parsed.reply = getJsonData(typeThatFits(parsed.type, kUnknownType, -1), kUnknownType, -1);
  } catch (const std::bad_alloc&) {
    parsed.row = nullptr;
    parsed.reply = getJsonData("", kNoMemory, -1);
  } catch (const std::exception&) {
    parsed.row = nullptr;
    parsed.reply = getJsonData("", kUnparsable, -1);
  }
  return parsed;
}

// Runs a parsed request's row; a member its row cannot convert is answered as unparsable.
std::string run(const Parsed& parsed) {
  try {
    return parsed.row->run(parsed.type, parsed.request);
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

// Closed token libraries copy PINs into small fixed buffers: a longer PIN never reaches one. An
// empty PIN (or none given) may cost a try on some tokens. Both are refused as the library refuses
// a PIN of the wrong length (nothing spent, the tries left unknown).
constexpr std::size_t kPinMaxBytes = 64;

bool pinUnusable(const std::string& pin) { return pin.empty() || pin.size() > kPinMaxBytes; }

std::string rowVerifyUserPin(const std::string& type, const Json::Value& request) {
  std::string pin = readText(request, "parm2");
  if (pinUnusable(pin)) return getJsonData(type, "0", 1);
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
  if (pinUnusable(oldPin) || pinUnusable(newPin)) return getJsonData(type, decimal(out).c_str(), 1);
  const unsigned char result = ChangeUserPin(writable(oldPin), writable(newPin), &out);
  return getJsonData(type, decimal(out).c_str(), inverse(result));
}

std::string rowUnblockUserPin(const std::string& type, const Json::Value& request) {
  std::string adminPin = readText(request, "parm1");
  std::string newUserPin = readText(request, "parm2");
  int out = -1;
  if (pinUnusable(adminPin) || pinUnusable(newUserPin)) return getJsonData(type, decimal(out).c_str(), 1);
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
// "type" exactly (case-sensitive, no trimming) runs. A new request is one row plus its function, and
// says whether it calls into the token library (then it waits its turn on the token thread).
constexpr Row kRows[] = {
    {.type = "StartMonitor", .run = rowStartMonitor, .token = false},
    {.type = "OpenDevice", .run = rowOpenDevice, .token = true},
    {.type = "GetDevState", .run = rowGetDevState, .token = true},
    {.type = "VerifyUserPin", .run = rowVerifyUserPin, .token = true},
    {.type = "GetUserName", .run = rowGetUserName, .token = true},
    {.type = "ChangeUserPin", .run = rowChangeUserPin, .token = true},
    {.type = "UnblockUserPin", .run = rowUnblockUserPin, .token = true},
    {.type = "GetLibVersion", .run = rowGetLibVersion, .token = false},
    {.type = "ZPSHA1", .run = rowZPSHA1, .token = true},
    {.type = "ZPCrypt", .run = rowZPCrypt, .token = true},
    {.type = "CloseDevice", .run = rowCloseDevice, .token = true},
};

const Row* findRow(std::string_view type) {
  for (const Row& row : kRows) {
    if (type == row.type) return &row;
  }
  return nullptr;
}

}  // namespace
