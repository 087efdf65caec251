// SPDX-License-Identifier: MIT
// Parses each request, picks its row (request_rows.h), hands a token command to the token process
// or runs it here, builds the reply envelope and queues it. Failures become replies; nothing here
// closes a connection. The file reads from the socket side down: ev_handler, then the parse and
// its error policy.
#include "service/dispatcher.h"

#include <json/reader.h>
#include <json/value.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "net/hold.h"
#include "service/members.h"
#include "service/reply.h"
#include "service/consent/upgrade_consent.h"
#include "service/request_rows.h"
#include "service/token_process.h"

namespace {

// Reply data of the dispatcher's own errors (code -1).
constexpr char kNoMemory[] = "-1099";
constexpr char kUnparsable[] = "-1098";
constexpr char kUnknownType[] = "-1097";

// Where the two diagnostic lines of each request go; nullptr drops them unformatted.
std::FILE* g_console = nullptr;

// Where the requests that need the token go; nullptr runs them in the calling process. Used on the
// loop only.
TokenProcess* g_tokenProcess = nullptr;

// Decides about the upgrades of pages; nullptr serves them all. Used on the loop only.
UpgradeConsent* g_upgradeConsent = nullptr;

// A parsed request: its row and the members the row read, or, with no row, the reply already
// decided (unparsable, unknown).
struct Parsed {
  const Row* row = nullptr;
  Arguments arguments;
  std::string reply;
};

Parsed parse(const unsigned char* payload, std::size_t size);
std::string run(const Parsed& parsed);
std::string envelope(const Row& row, const Outcome& outcome);
void printDiagnostics(const std::string& strOutData);

// A held connection waiting for its reply from the token.
class HeldConnection : public TokenWaiter {
 public:
  explicit HeldConnection(net::Hold hold) : hold_(std::move(hold)) {}
  bool abandoned() const override { return hold_.abandoned(); }
  void answer(const Row& row, const Outcome& outcome) override {
    try {
      std::string text = envelope(row, outcome);
      printDiagnostics(text);
      hold_.reply(std::move(text));
    } catch (const std::bad_alloc&) {
      // No reply: the connection reads on when the hold goes.
    }
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
  if (parsed.row != nullptr && parsed.row->token && g_tokenProcess != nullptr) {
    try {
      // The connection reads no further message until this reply is queued: its replies keep
      // the order of its requests, and it has at most one job at the token at a time.
      TokenJob job{.row = parsed.row, .arguments = std::move(parsed.arguments), .waiter = nullptr};
      job.waiter = std::make_unique<HeldConnection>(net::hold(connection));
      g_tokenProcess->submit(std::move(job));
      return;
    } catch (const std::bad_alloc&) {
      // A hold taken here was given up with the job (the connection reads on); answered below.
      parsed = Parsed{.row = nullptr, .arguments = {}, .reply = getJsonData("", kNoMemory, -1)};
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

void setTokenProcess(TokenProcess* process) { g_tokenProcess = process; }

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
    Json::Value request;
    if (!reader.parse(text, text + length, request, false)) {
      parsed.reply = getJsonData("", kUnparsable, -1);
      return parsed;
    }
    const std::string type = readText(request, "type");
    parsed.row = findRow(type);
    if (parsed.row == nullptr) {
      parsed.reply = getJsonData(typeThatFits(type, kUnknownType, -1), kUnknownType, -1);
    } else {
      parsed.arguments = parsed.row->read(request);
    }
  } catch (const std::bad_alloc&) {
    parsed.row = nullptr;
    parsed.reply = getJsonData("", kNoMemory, -1);
  } catch (const std::exception&) {
    parsed.row = nullptr;
    parsed.reply = getJsonData("", kUnparsable, -1);
  }
  return parsed;
}

// Runs a parsed request's row here, in this process.
std::string run(const Parsed& parsed) {
  try {
    return envelope(*parsed.row, parsed.row->run(parsed.arguments));
  } catch (const std::bad_alloc&) {
    return getJsonData("", kNoMemory, -1);
  }
}

// The reply to a row's outcome. Code -1 is a failure that is not the command's own (the token
// process ran out of memory): answered as the dispatcher's own errors are.
std::string envelope(const Row& row, const Outcome& outcome) {
  if (outcome.code == -1) return getJsonData("", outcome.data.c_str(), -1);
  return getJsonData(std::string(row.type), outcome.data.c_str(), outcome.code);
}

void printDiagnostics(const std::string& strOutData) {
  if (g_console == nullptr) return;
  std::fputs("---------------end end----------\n", g_console);
  // The same line as printf("-------------strOutData.c_str = %s----------\n"), without formatting.
  std::fputs("-------------strOutData.c_str = ", g_console);
  std::fputs(strOutData.c_str(), g_console);
  std::fputs("----------\n", g_console);
}

}  // namespace
