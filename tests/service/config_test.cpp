// SPDX-License-Identifier: MIT
// The configuration file and command line: each file text gives the options it sets, or the one
// line that names what is wrong and where.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service/config.h"

namespace {

// The options as one line, so a table can state them.
std::string describe(const net::ServerOptions& options) {
  std::string text = "listen";
  for (const net::ListenAddress& address : options.listen) text += " " + address.address + "/" + std::to_string(address.port);
  text += "; origins";
  for (const std::string& origin : options.allowedOrigins) text += " " + origin;
  text += std::string("; missing ") + (options.allowMissingOrigin ? "yes" : "no");
  text += "; message " + (options.maxMessageBytes ? std::to_string(*options.maxMessageBytes) : "-");
  text += "; connections " + (options.maxConnections ? std::to_string(*options.maxConnections) : "-");
  text += "; handshake " + (options.handshakeTimeout ? std::to_string(options.handshakeTimeout->count()) + "ms" : "-");
  // The later keys only when set, so the lines above stay as they were.
  if (options.messageTimeout) text += "; message-timeout " + std::to_string(options.messageTimeout->count()) + "s";
  if (options.pongTimeout) text += "; pong-timeout " + std::to_string(options.pongTimeout->count()) + "s";
  return text;
}

const std::string kNothing = "listen; origins; missing yes; message -; connections -; handshake -";

struct Case {
  const char* name;
  std::string text;
  std::string expected;  // describe() of the options, or the error line
};

TEST(ConfigFile, EachTextGivesItsOptionsOrItsError) {
  const Case cases[] = {
      {"empty file", "", kNothing},
      {"comments and blanks only", "# nothing\n\n   \t\n  # indented comment\n", kNothing},
      {"every key",
       "listen = 127.0.0.1\n"
       "listen = [::1]:8080\n"
       "allow-origin = https://app.example.com\n"
       "allow-origin = http://localhost:3000\n"
       "allow-missing-origin = no\n"
       "max-message-bytes = 65536\n"
       "max-connections = 64\n"
       "handshake-timeout = 10\n",
       "listen 127.0.0.1/9446 ::1/8080; origins https://app.example.com http://localhost:3000; missing no; "
       "message 65536; connections 64; handshake 10000ms"},
      {"no blanks around '=', CR LF, comment after value, no final newline",
       "listen=0.0.0.0:1\r\nmax-connections\t=  2   # two\r\nhandshake-timeout = 1",
       "listen 0.0.0.0/1; origins; missing yes; message -; connections 2; handshake 1000ms"},
      {"IPv6 without port, any address", "listen = [::]\n", "listen ::/9446; origins; missing yes; message -; connections -; handshake -"},
      {"largest port and sizes", "listen = 10.0.0.1:65535\nmax-message-bytes = 18446744073709551615\n",
       "listen 10.0.0.1/65535; origins; missing yes; message 18446744073709551615; connections -; handshake -"},
      {"allow-missing-origin yes alone", "allow-missing-origin = yes\n", kNothing},
      {"message and pong timeouts", "message-timeout = 30\npong-timeout = 31622400\n",
       kNothing + "; message-timeout 30s; pong-timeout 31622400s"},

      {"unknown key", "# settings\nlisten = 127.0.0.1\nmax-clients = 5\n", "F:3: unknown key 'max-clients'"},
      {"key case matters", "Listen = 127.0.0.1\n", "F:1: unknown key 'Listen'"},
      {"no '='", "listen 127.0.0.1\n", "F:1: expected 'key = value'"},
      {"no key", " = 5\n", "F:1: expected 'key = value'"},
      {"no value", "max-connections =\n", "F:1: max-connections: no value"},
      {"value only a comment", "listen = # later\n", "F:1: listen: no value"},
      {"repeated single key", "max-connections = 5\n\nmax-connections = 6\n",
       "F:3: max-connections: given twice (first on line 1)"},
      {"repeated yes/no key", "allow-origin = https://a.example\nallow-missing-origin = yes\nallow-missing-origin = no\n",
       "F:3: allow-missing-origin: given twice (first on line 2)"},
      {"host name", "listen = localhost\n", "F:1: listen: 'localhost' is not a numeric IPv4 address (or an IPv6 one in brackets)"},
      {"short IPv4", "listen = 127.1\n", "F:1: listen: '127.1' is not a numeric IPv4 address (or an IPv6 one in brackets)"},
      {"IPv6 without brackets", "listen = ::1\n", "F:1: listen: write an IPv6 address in brackets, as in [::1]:9446"},
      {"unclosed bracket", "listen = [::1\n", "F:1: listen: no ']' after the IPv6 address"},
      {"IPv4 in brackets", "listen = [127.0.0.1]:80\n", "F:1: listen: '127.0.0.1' is not a numeric IPv6 address"},
      {"junk after bracket", "listen = [::1]9446\n", "F:1: listen: expected ':PORT' after ']'"},
      {"empty port", "listen = 127.0.0.1:\n", "F:1: listen: the port is missing after ':'"},
      {"empty IPv6 port", "listen = [::1]:\n", "F:1: listen: the port is missing after ':'"},
      {"port zero", "listen = 127.0.0.1:0\n", "F:1: listen: the port must be a number from 1 to 65535"},
      {"port too large", "listen = 127.0.0.1:65536\n", "F:1: listen: the port must be a number from 1 to 65535"},
      {"port not a number", "listen = [::1]:http\n", "F:1: listen: the port must be a number from 1 to 65535"},
      {"origin with trailing slash", "allow-origin = https://example.com/\n",
       "F:1: allow-origin: an origin has no path and no trailing '/': scheme://host[:port]"},
      {"origin without scheme", "allow-origin = example.com\n",
       "F:1: allow-origin: expected scheme://host[:port], as in https://example.com"},
      {"origin without host", "allow-origin = https://\n",
       "F:1: allow-origin: expected scheme://host[:port], as in https://example.com"},
      {"origin in upper case", "allow-origin = https://Example.com\n",
       "F:1: allow-origin: browsers send origins in lower case; write it so"},
      {"origin with a blank", "allow-origin = https://a b\n", "F:1: allow-origin: an origin holds no blank"},
      {"yes/no spelled otherwise", "allow-origin = https://a.example\nallow-missing-origin = true\n",
       "F:2: allow-missing-origin: expected yes or no"},
      {"missing origin refused without a list", "max-connections = 3\nallow-missing-origin = no\n",
       "F:2: allow-missing-origin = no has no effect without an allow-origin line"},
      {"negative count", "max-connections = -1\n", "F:1: max-connections: expected a whole number, 1 or more"},
      {"zero connections", "max-connections = 0\n", "F:1: max-connections: expected a whole number, 1 or more"},
      {"count with unit", "max-message-bytes = 64k\n", "F:1: max-message-bytes: expected a whole number of bytes, 1 or more"},
      {"count with sign", "max-message-bytes = +64\n", "F:1: max-message-bytes: expected a whole number of bytes, 1 or more"},
      {"count overflows", "max-message-bytes = 18446744073709551616\n",
       "F:1: max-message-bytes: expected a whole number of bytes, 1 or more"},
      {"fractional seconds", "handshake-timeout = 2.5\n",
       "F:1: handshake-timeout: expected a whole number of seconds, from 1 to 31622400"},
      {"zero seconds", "handshake-timeout = 0\n",
       "F:1: handshake-timeout: expected a whole number of seconds, from 1 to 31622400"},
      {"zero message timeout", "message-timeout = 0\n",
       "F:1: message-timeout: expected a whole number of seconds, from 1 to 31622400"},
      {"pong timeout beyond a year", "pong-timeout = 31622401\n",
       "F:1: pong-timeout: expected a whole number of seconds, from 1 to 31622400"},
      {"repeated timeout", "pong-timeout = 5\npong-timeout = 5\n", "F:2: pong-timeout: given twice (first on line 1)"},
      {"first error wins", "max-connections = x\nbogus = 1\n", "F:1: max-connections: expected a whole number, 1 or more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const config::Loaded loaded = config::parse(c.text, "F");
    EXPECT_EQ(loaded.error.empty() ? describe(loaded.options) : loaded.error, c.expected);
  }
}

// The settings of the person-at-the-screen decision, with their defaults and their errors.
TEST(ConfigFile, ConsentSettings) {
  const auto describeConsent = [](const config::ConsentSettings& consent) {
    const char* modes[] = {"ask", "allow", "refuse"};
    return std::string(modes[static_cast<int>(consent.rules.mode)]) + " " +
           std::to_string(consent.rules.timeout.count()) + "s " + consent.directory + " " + consent.agentSocket;
  };
  const std::string kDefaults = "ask 60s /var/lib/tokenbridge/consent /run/tokenbridge/agent.sock";
  const Case cases[] = {
      {"defaults", "", kDefaults},
      {"every key",
       "unknown-origin = refuse\nconsent-timeout = 5\nconsent-dir = /srv/c\nagent-socket = /tmp/a.sock\n",
       "refuse 5s /srv/c /tmp/a.sock"},
      {"allow", "unknown-origin = allow\n", "allow 60s /var/lib/tokenbridge/consent /run/tokenbridge/agent.sock"},
      {"a day at most", "consent-timeout = 86400\n", "ask 86400s /var/lib/tokenbridge/consent /run/tokenbridge/agent.sock"},
      {"unknown mode", "unknown-origin = deny\n", "F:1: unknown-origin: expected ask, allow or refuse"},
      {"zero timeout", "consent-timeout = 0\n", "F:1: consent-timeout: expected a whole number of seconds, from 1 to 86400"},
      {"timeout over a day", "consent-timeout = 86401\n",
       "F:1: consent-timeout: expected a whole number of seconds, from 1 to 86400"},
      {"relative directory", "consent-dir = consent\n", "F:1: consent-dir: expected an absolute path"},
      {"relative socket", "agent-socket = agent.sock\n", "F:1: agent-socket: expected an absolute path"},
      {"given twice", "unknown-origin = ask\nunknown-origin = refuse\n", "F:2: unknown-origin: given twice (first on line 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const config::Loaded loaded = config::parse(c.text, "F");
    EXPECT_EQ(loaded.error.empty() ? describeConsent(loaded.consent) : loaded.error, c.expected);
    if (loaded.error.empty()) {
      EXPECT_EQ(describe(loaded.options), kNothing);  // nothing of the WebSocket layer's
    }
  }
}

// Installed, the service answers this computer only: both loopback addresses, nothing else set.
TEST(ConfigFile, ShippedFileListensOnLoopbackOnlyAndEachOfItsLinesIsValid) {
  const config::Loaded shipped = config::load(SHIPPED_CONFIG, true);
  EXPECT_EQ(shipped.error, "");
  EXPECT_EQ(describe(shipped.options), "listen 127.0.0.1/9446 ::1/9446; origins; missing yes; message -; connections -; handshake -");

  // Turning every example line on gives a file the daemon accepts.
  std::ifstream file(SHIPPED_CONFIG);
  std::string text;
  for (std::string line; std::getline(file, line);) {
    if (line.size() > 1 && line[0] == '#' && line[1] >= 'a' && line[1] <= 'z') line.erase(0, 1);
    text += line + "\n";
  }
  const config::Loaded allOn = config::parse(text, "shipped");
  EXPECT_EQ(allOn.error, "");
  EXPECT_EQ(describe(allOn.options),
            "listen 127.0.0.1/9446 ::1/9446; origins https://app.example.com; missing no; message 65536; "
            "connections 64; handshake 10000ms; message-timeout 30s; pong-timeout 30s");
}

// token-call-timeout: 0 (no limit) to a day; 30 s when not given; nothing of the WebSocket layer's.
TEST(ConfigFile, TokenCallTimeoutRows) {
  struct Row {
    const char* text;
    long long seconds;  // -1: refused with `error`
    const char* error;
  };
  const Row rows[] = {
      {"", 30, ""},
      {"token-call-timeout = 0\n", 0, ""},
      {"token-call-timeout = 1\n", 1, ""},
      {"token-call-timeout = 86400\n", 86400, ""},
      {"token-call-timeout = 86401\n", -1,
       "F:1: token-call-timeout: expected a whole number of seconds, from 0 (no limit) to 86400"},
      {"token-call-timeout = -1\n", -1,
       "F:1: token-call-timeout: expected a whole number of seconds, from 0 (no limit) to 86400"},
      {"token-call-timeout = 00\n", -1,
       "F:1: token-call-timeout: expected a whole number of seconds, from 0 (no limit) to 86400"},
      {"token-call-timeout = 5\ntoken-call-timeout = 6\n", -1, "F:2: token-call-timeout: given twice (first on line 1)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const config::Loaded loaded = config::parse(row.text, "F");
    EXPECT_EQ(loaded.error, row.error);
    if (row.seconds >= 0) {
      EXPECT_EQ(loaded.token.callTimeout.count(), row.seconds);
      EXPECT_EQ(describe(loaded.options), kNothing);
    }
  }
}

class ConfigFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridge-config-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    directory_ = name.data();
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::filesystem::path directory_;
};

TEST_F(ConfigFileOnDisk, MissingFileIsNothingOnlyWhenNotNamed) {
  const std::string missing = (directory_ / "none.conf").string();
  const config::Loaded quiet = config::load(missing, false);
  EXPECT_EQ(quiet.error, "");
  EXPECT_EQ(describe(quiet.options), kNothing);
  EXPECT_EQ(config::load(missing, true).error, missing + ": cannot open: No such file or directory");
}

TEST_F(ConfigFileOnDisk, ReadsTheFileAndNamesItInErrors) {
  const std::string path = (directory_ / "a.conf").string();
  std::ofstream(path) << "listen = 127.0.0.1\nmax-connections = many\n";
  EXPECT_EQ(config::load(path, false).error, path + ":2: max-connections: expected a whole number, 1 or more");
  std::ofstream(path) << "listen = 127.0.0.1:9000\n";
  EXPECT_EQ(describe(config::load(path, true).options),
            "listen 127.0.0.1/9000; origins; missing yes; message -; connections -; handshake -");
}

TEST_F(ConfigFileOnDisk, ExistingButUnreadableIsAnErrorEvenAsTheDefault) {
  // A directory opens but does not read; it stands for any file that exists and cannot be read
  // (a permission test would not hold when the tests run as root).
  const std::string path = directory_.string();
  EXPECT_EQ(config::load(path, false).error, path + ": cannot read: Is a directory");
}

TEST(CommandLine, ConfigIsTheOnlyArgument) {
  struct Line {
    std::vector<const char*> argv;
    std::string path;
    bool named;
    std::string error;
    config::CommandLine::Action action = config::CommandLine::Action::serve;
  };
  using Action = config::CommandLine::Action;
  const Line lines[] = {
      {{"tokenbridged", "--help"}, config::kDefaultPath, false, "", Action::help},
      {{"tokenbridged", "--version"}, config::kDefaultPath, false, "", Action::version},
      {{"tokenbridged", "--help", "--config", "a"}, config::kDefaultPath, false, config::kUsage},
      {{"tokenbridged", "--config", "a", "--version"}, "a", true, config::kUsage},
      {{"tokenbridged"}, config::kDefaultPath, false, ""},
      {{"tokenbridged", "--config", "/tmp/x.conf"}, "/tmp/x.conf", true, ""},
      {{"tokenbridged", "--config"}, config::kDefaultPath, false, config::kUsage},
      {{"tokenbridged", "--config", "a", "--config", "b"}, "a", true, config::kUsage},
      {{"tokenbridged", "--verbose"}, config::kDefaultPath, false, config::kUsage},
      {{"tokenbridged", "--config=a.conf"}, config::kDefaultPath, false, config::kUsage},
      {{"tokenbridged", "a.conf"}, config::kDefaultPath, false, config::kUsage},
  };
  for (const Line& line : lines) {
    SCOPED_TRACE(line.argv.size() > 1 ? line.argv[1] : "(none)");
    const config::CommandLine parsed = config::parseCommandLine(static_cast<int>(line.argv.size()), line.argv.data());
    EXPECT_EQ(parsed.configPath, line.path);
    EXPECT_EQ(parsed.configNamed, line.named);
    EXPECT_EQ(parsed.error, line.error);
    EXPECT_EQ(parsed.action, line.action);
  }
}

}  // namespace
