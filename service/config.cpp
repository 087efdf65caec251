// SPDX-License-Identifier: MIT
// Reading the configuration file. Anything not understood stops the daemon with the line to fix:
// a restriction silently dropped would leave the service more open than its operator believes.
#include "service/config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <map>

#include "service/file_text.h"

namespace config {
namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A whole decimal number from 1 to `most`, nothing else: no sign, no blank, no suffix.
bool readCount(std::string_view text, std::uint64_t most, std::uint64_t& value) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 1 && value <= most;
}

bool isIPv4(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool isIPv6(const std::string& text) {
  in6_addr parsed{};
  return inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
}

// Each reader below takes one key's value (trimmed, not empty) into the options and returns what is
// wrong with it, or "". The parser puts the key's name in front.

// ADDRESS[:PORT], the address numeric: 127.0.0.1, 127.0.0.1:9446, [::1], [::1]:9446.
std::string readListen(std::string_view value, net::ServerOptions& options) {
  std::string_view address = value;
  std::string_view port;
  if (value.front() == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos) return "no ']' after the IPv6 address";
    address = value.substr(1, close - 1);
    const std::string_view rest = value.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return "expected ':PORT' after ']'";
    if (!rest.empty()) port = rest.substr(1);
    if (!isIPv6(std::string(address))) return "'" + std::string(address) + "' is not a numeric IPv6 address";
  } else {
    const std::size_t colon = value.find(':');
    if (colon != std::string_view::npos && value.find(':', colon + 1) != std::string_view::npos) {
      return "write an IPv6 address in brackets, as in [::1]:9446";
    }
    if (colon != std::string_view::npos) {
      address = value.substr(0, colon);
      port = value.substr(colon + 1);
    }
    if (!isIPv4(std::string(address))) {
      return "'" + std::string(address) + "' is not a numeric IPv4 address (or an IPv6 one in brackets)";
    }
  }
  std::uint64_t number = kDefaultPort;
  if (value.find(':') != std::string_view::npos && value.back() == ':') return "the port is missing after ':'";
  if (!port.empty() && !readCount(port, 65535, number)) return "the port must be a number from 1 to 65535";
  options.listen.push_back({std::string(address), static_cast<std::uint16_t>(number)});
  return "";
}

// scheme://host[:port] as a browser sends it in Origin: lower case, no path, no trailing '/'.
std::string readOrigin(std::string_view value, net::ServerOptions& options) {
  const std::size_t schemeEnd = value.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0 || schemeEnd + 3 == value.size()) {
    return "expected scheme://host[:port], as in https://example.com";
  }
  const std::string_view authority = value.substr(schemeEnd + 3);
  if (authority.find_first_of("/?#") != std::string_view::npos) {
    return "an origin has no path and no trailing '/': scheme://host[:port]";
  }
  for (const char c : value) {
    if (c >= 'A' && c <= 'Z') return "browsers send origins in lower case; write it so";
    if (static_cast<unsigned char>(c) <= ' ') return "an origin holds no blank";
  }
  options.allowedOrigins.emplace_back(value);
  return "";
}

std::string readAllowMissingOrigin(std::string_view value, net::ServerOptions& options) {
  if (value != "yes" && value != "no") return "expected yes or no";
  options.allowMissingOrigin = value == "yes";
  return "";
}

std::string readMaxMessageBytes(std::string_view value, net::ServerOptions& options) {
  std::uint64_t count = 0;
  if (!readCount(value, std::numeric_limits<std::uint64_t>::max(), count)) {
    return "expected a whole number of bytes, 1 or more";
  }
  options.maxMessageBytes = count;
  return "";
}

std::string readMaxConnections(std::string_view value, net::ServerOptions& options) {
  std::uint64_t count = 0;
  if (!readCount(value, std::numeric_limits<std::size_t>::max(), count)) return "expected a whole number, 1 or more";
  options.maxConnections = static_cast<std::size_t>(count);
  return "";
}

// Whole seconds from 1 to a year: far beyond any use, and keeps the milliseconds well inside their type.
std::string readSeconds(std::string_view value, std::optional<std::chrono::seconds>& seconds) {
  constexpr std::uint64_t kYear = 366ull * 24 * 3600;
  std::uint64_t count = 0;
  if (!readCount(value, kYear, count)) return "expected a whole number of seconds, from 1 to " + std::to_string(kYear);
  seconds = std::chrono::seconds(count);
  return "";
}

std::string readHandshakeTimeout(std::string_view value, net::ServerOptions& options) {
  std::optional<std::chrono::seconds> seconds;
  std::string wrong = readSeconds(value, seconds);
  if (seconds) options.handshakeTimeout = *seconds;
  return wrong;
}

std::string readMessageTimeout(std::string_view value, net::ServerOptions& options) {
  return readSeconds(value, options.messageTimeout);
}

std::string readPongTimeout(std::string_view value, net::ServerOptions& options) {
  return readSeconds(value, options.pongTimeout);
}

std::string readUnknownOrigin(std::string_view value, ConsentSettings& consent) {
  if (value == "ask") consent.rules.mode = consent::Mode::ask;
  else if (value == "allow") consent.rules.mode = consent::Mode::allow;
  else if (value == "refuse") consent.rules.mode = consent::Mode::refuse;
  else return "expected ask, allow or refuse";
  return "";
}

std::string readConsentTimeout(std::string_view value, ConsentSettings& consent) {
  constexpr std::uint64_t kDay = 24 * 3600;  // a question nobody answers in a day is not being answered
  std::uint64_t count = 0;
  if (!readCount(value, kDay, count)) return "expected a whole number of seconds, from 1 to " + std::to_string(kDay);
  consent.rules.timeout = std::chrono::seconds(count);
  return "";
}

// The daemon changes to "/" when it detaches: a relative path would change its meaning.
std::string readAbsolutePath(std::string_view value, std::string& path) {
  if (value.front() != '/') return "expected an absolute path";
  path = value;
  return "";
}

std::string readConsentDir(std::string_view value, ConsentSettings& consent) {
  return readAbsolutePath(value, consent.directory);
}

std::string readAgentSocket(std::string_view value, ConsentSettings& consent) {
  return readAbsolutePath(value, consent.agentSocket);
}

// 0 (wait for ever, as a token library without bounds would) or 1 second to a day.
std::string readTokenCallTimeout(std::string_view value, TokenSettings& token) {
  constexpr std::uint64_t kDay = 24 * 3600;
  std::uint64_t count = 0;
  if (value != "0" && !readCount(value, kDay, count)) {
    return "expected a whole number of seconds, from 0 (no limit) to " + std::to_string(kDay);
  }
  token.callTimeout = std::chrono::seconds(count);
  return "";
}

// Every key the file knows, one row each: adding a key is adding a row (and its lines in
// service/tokenbridged.conf, README's Settings and the manual page).
struct Key {
  std::string_view name;
  bool repeats;  // may be given on several lines, each adding a value
  std::string (*read)(std::string_view value, net::ServerOptions& options);
  std::string (*readConsent)(std::string_view value, ConsentSettings& consent) = nullptr;  // instead of read
  std::string (*readToken)(std::string_view value, TokenSettings& token) = nullptr;          // instead of read
};

constexpr Key kKeys[] = {
    {"listen", true, readListen},
    {"allow-origin", true, readOrigin},
    {"allow-missing-origin", false, readAllowMissingOrigin},
    {"max-message-bytes", false, readMaxMessageBytes},
    {"max-connections", false, readMaxConnections},
    {"handshake-timeout", false, readHandshakeTimeout},
    {"message-timeout", false, readMessageTimeout},
    {"pong-timeout", false, readPongTimeout},
    {"unknown-origin", false, nullptr, readUnknownOrigin},
    {"consent-timeout", false, nullptr, readConsentTimeout},
    {"consent-dir", false, nullptr, readConsentDir},
    {"agent-socket", false, nullptr, readAgentSocket},
    {"token-call-timeout", false, nullptr, nullptr, readTokenCallTimeout},
};

const Key* findKey(std::string_view name) {
  for (const Key& key : kKeys) {
    if (key.name == name) return &key;
  }
  return nullptr;
}

// One parse: the options so far and the lines where single-valued keys were set.
class Parser {
 public:
  explicit Parser(const std::string& name) : name_(name) {}

  bool line(std::string_view text, int number) {
    const std::size_t hash = text.find('#');
    if (hash != std::string_view::npos) text = text.substr(0, hash);
    text = trim(text);
    if (text.empty()) return true;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return fail(number, "expected 'key = value'");
    const std::string key(trim(text.substr(0, equals)));
    const std::string_view value = trim(text.substr(equals + 1));
    if (key.empty()) return fail(number, "expected 'key = value'");
    if (value.empty()) return fail(number, key + ": no value");
    return set(key, value, number);
  }

  // Settings that only mean something together, checked once every line is read.
  void finish() {
    const auto missing = seen_.find("allow-missing-origin");
    if (missing != seen_.end() && !result_.options.allowMissingOrigin && result_.options.allowedOrigins.empty()) {
      fail(missing->second, "allow-missing-origin = no has no effect without an allow-origin line");
    }
  }

  Loaded take() {
    for (const auto& [key, at] : {std::pair{"consent-dir", &result_.consent.directoryAt},
                                  std::pair{"agent-socket", &result_.consent.agentSocketAt}}) {
      const auto set = seen_.find(key);
      if (set != seen_.end()) *at = name_ + ":" + std::to_string(set->second);
    }
    return std::move(result_);
  }

 private:
  bool set(const std::string& name, std::string_view value, int number) {
    const Key* key = findKey(name);
    if (key == nullptr) return fail(number, "unknown key '" + name + "'");
    if (!key->repeats) {
      const auto [first, isNew] = seen_.emplace(name, number);
      if (!isNew) return fail(number, name + ": given twice (first on line " + std::to_string(first->second) + ")");
    }
    const std::string wrong = key->read != nullptr          ? key->read(value, result_.options)
                              : key->readConsent != nullptr ? key->readConsent(value, result_.consent)
                                                            : key->readToken(value, result_.token);
    if (!wrong.empty()) return fail(number, name + ": " + wrong);
    return true;
  }

  bool fail(int number, const std::string& what) {
    result_.error = name_ + ":" + std::to_string(number) + ": " + what;
    return false;
  }

  const std::string& name_;
  Loaded result_;
  std::map<std::string, int> seen_;
};

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  // --help and --version stand alone.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) line.action = CommandLine::Action::help;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) line.action = CommandLine::Action::version;
  if (line.action != CommandLine::Action::serve) return line;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc && !line.configNamed) {
      line.configPath = argv[++i];
      line.configNamed = true;
    } else {
      line.error = kUsage;
      break;
    }
  }
  return line;
}

Loaded parse(std::string_view text, const std::string& name) {
  Parser parser(name);
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ++number;
    if (!parser.line(text.substr(0, end), number)) return parser.take();
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  parser.finish();
  return parser.take();
}

Loaded load(const std::string& path, bool mustExist) {
  const FileText file = readFileText(path);
  if (!file.opened && file.error == ENOENT && !mustExist) return {};
  Loaded failed;
  if (file.error != 0) {
    failed.error = path + (file.opened ? ": cannot read: " : ": cannot open: ") + std::strerror(file.error);
    return failed;
  }
  return parse(file.text, path);
}

}  // namespace config
