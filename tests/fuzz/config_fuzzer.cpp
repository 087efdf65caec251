// SPDX-License-Identifier: MIT
// Fuzzes the settings file parser. Whatever the text, the parse either names a line of it or
// gives options that hold only what a key may set: numeric addresses with a port, origins as a
// browser sends them, limits of at least 1. Options written back out as a file parse to the same
// options, and a blank line put in front moves an error down by exactly one line.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/config.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool numeric(const std::string& address) {
  unsigned char parsed[sizeof(in6_addr)];
  return inet_pton(AF_INET, address.c_str(), parsed) == 1 || inet_pton(AF_INET6, address.c_str(), parsed) == 1;
}

bool browserOrigin(std::string_view origin) {
  const std::size_t schemeEnd = origin.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0 || schemeEnd + 3 == origin.size()) return false;
  if (origin.substr(schemeEnd + 3).find_first_of("/?#") != std::string_view::npos) return false;
  for (const char c : origin) {
    if ((c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) <= ' ') return false;
  }
  return true;
}

// The options as the file that sets them; defaults are left out.
std::string asFile(const net::ServerOptions& options) {
  std::string text;
  for (const net::ListenAddress& listen : options.listen) {
    const bool v6 = listen.address.find(':') != std::string::npos;
    text += "listen = " + (v6 ? "[" + listen.address + "]" : listen.address) + ":" + std::to_string(listen.port) + "\n";
  }
  for (const std::string& origin : options.allowedOrigins) text += "allow-origin = " + origin + "\n";
  if (!options.allowMissingOrigin) text += "allow-missing-origin = no\n";
  if (options.maxMessageBytes) text += "max-message-bytes = " + std::to_string(*options.maxMessageBytes) + "\n";
  if (options.maxConnections) text += "max-connections = " + std::to_string(*options.maxConnections) + "\n";
  if (options.handshakeTimeout) text += "handshake-timeout = " + std::to_string(options.handshakeTimeout->count() / 1000) + "\n";
  return text;
}

bool sameOptions(const net::ServerOptions& a, const net::ServerOptions& b) {
  if (a.listen.size() != b.listen.size()) return false;
  for (std::size_t i = 0; i < a.listen.size(); ++i) {
    if (a.listen[i].address != b.listen[i].address || a.listen[i].port != b.listen[i].port) return false;
  }
  return a.allowedOrigins == b.allowedOrigins && a.allowMissingOrigin == b.allowMissingOrigin &&
         a.maxMessageBytes == b.maxMessageBytes && a.maxConnections == b.maxConnections &&
         a.handshakeTimeout == b.handshakeTimeout;
}

// Without its digits: a message may name a second line ("first on line 2"), which moves too.
std::string withoutDigits(const std::string& text) {
  std::string kept;
  for (const char c : text) {
    if (c < '0' || c > '9') kept += c;
  }
  return kept;
}

// "F:LINE: what" split into LINE (0 when the error names no line) and ": what".
std::size_t errorLine(const std::string& error, std::string& rest) {
  check(error.rfind("F:", 0) == 0);
  std::size_t at = 2, line = 0;
  while (at < error.size() && error[at] >= '0' && error[at] <= '9') line = line * 10 + (error[at++] - '0');
  rest = error.substr(at);
  check(rest.rfind(": ", 0) == 0 && rest.size() > 2);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const config::Loaded loaded = config::parse(text, "F");

  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;

  if (!loaded.error.empty()) {
    std::string rest;
    const std::size_t line = errorLine(loaded.error, rest);
    check(line >= 1 && line <= lines);
    const config::Loaded shifted = config::parse("\n" + std::string(text), "F");
    std::string shiftedRest;
    check(errorLine(shifted.error, shiftedRest) == line + 1 && withoutDigits(shiftedRest) == withoutDigits(rest));
    return 0;
  }

  const net::ServerOptions& options = loaded.options;
  for (const net::ListenAddress& listen : options.listen) check(numeric(listen.address) && listen.port >= 1);
  for (const std::string& origin : options.allowedOrigins) check(browserOrigin(origin));
  check(options.allowMissingOrigin || !options.allowedOrigins.empty());
  check(!options.maxMessageBytes || *options.maxMessageBytes >= 1);
  check(!options.maxConnections || *options.maxConnections >= 1);
  check(!options.handshakeTimeout || options.handshakeTimeout->count() >= 1000);

  const config::Loaded again = config::parse(asFile(options), "F");
  check(again.error.empty() && sameOptions(again.options, options));
  return 0;
}
