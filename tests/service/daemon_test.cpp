// SPDX-License-Identifier: MIT
// tokenbridged as a user starts it: detaching, reporting start-up, signals, a client that resets
// mid-reply, and a few token requests with the software token plugged and unplugged in between.
// The daemon always serves port 9446; it is found and stopped by the pid listening there.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/ws_frame.h"
#include "tests/service/daemon_control.h"
#include "tests/support/target_program.h"
#include "tests/support/ws_client.h"

namespace {

using namespace std::chrono_literals;
using testdaemon::kServicePort;

std::string field(pid_t pid, int index) {
  // /proc/<pid>/stat: "pid (comm) state ppid pgrp session tty_nr ..."; comm may hold blanks.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string value;
  for (int i = 3; i <= index; ++i) rest >> value;
  return value;
}

std::string request(testsupport::RawClient& client, const std::string& json) {
  if (!client.send(testsupport::textFrame(json))) return "<send failed>";
  const auto frame = client.readFrame(3000);
  return frame ? frame->payload : "<no reply>";
}

const std::string kVersionRequest = R"({"type":"GetLibVersion"})";
const std::string kVersionReply = R"({"type":"GetLibVersion", "code":"0", "data":"1.0.220104"})";

// A client of any numeric address, IPv4 or IPv6, on the service port, whose answer says what came
// instead of a reply, so one comparison states each case.
class Peer {
 public:
  explicit Peer(const std::string& address) : connected_(client_.connect(address, kServicePort)) {}

  bool connected() const { return connected_; }

  // Sends one request (upgrading first, the first time) and returns the reply's text, or what came
  // instead.
  std::string ask(const std::string& json) {
    if (!connected_) return "<refused>";
    if (!upgraded_) {
      const std::string head = client_.upgrade("/", "", testsupport::kSampleKey, 3000);
      if (head.empty()) {
        const testsupport::Drained rest = client_.drain(0);
        if (!rest.closed) return "<no reply>";
        return rest.bytes.empty() ? "<closed without a byte>" : "<closed after " + rest.bytes + ">";
      }
      if (head.rfind("HTTP/1.1 101", 0) != 0) return "<not upgraded>";
      upgraded_ = true;
    }
    return request(client_, json);
  }

 private:
  testsupport::RawClient client_;
  bool connected_ = false;
  bool upgraded_ = false;
};

class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testdaemon::pidListeningOn(kServicePort), 0) << "port 9446 is in use; stop what listens there first";
    std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridged-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    state_ = directory_ + "/state.json";
    config_ = directory_ + "/tokenbridged.conf";
    setenv("SOFTTOKEN_STATE", state_.c_str(), 1);
    ASSERT_TRUE(softtoken("init"));
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  static bool softtoken(const std::string& arguments) {
    const std::string command = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " " + arguments + " >/dev/null";
    return std::system(command.c_str()) == 0;
  }

  // Starts the daemon with a configuration file of the test's own (empty: every default, whatever
  // /etc holds) and checks the starter's verdict; the Stopper ends it after the test.
  void startDaemon(const std::string& settings = "", testdaemon::Stopper* stopper = nullptr) {
    if (stopper == nullptr) stopper = &stopper_;
    std::ofstream(config_) << settings;
    // The starter must add less than a second to what loading any program built here costs: a few
    // milliseconds natively, far more under an emulator. The softtoken command, which exits at once
    // without arguments, measures that cost now, under the same load.
    const std::chrono::milliseconds loading = testdaemon::start(SOFTTOKEN_COMMAND).took;
    const testdaemon::StartResult started = start();
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    EXPECT_LT(started.took, 1000ms + loading) << "loading a program took " << loading.count() << " ms";
    EXPECT_EQ(started.errorOutput, "");
    stopper->pid = testdaemon::pidListeningOn(kServicePort);
    ASSERT_NE(stopper->pid, 0) << "the starter reported success but nothing listens on 9446";
  }

  testdaemon::StartResult start(const std::vector<std::string>& arguments = {}) {
    return testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}},
                             arguments.empty() ? std::vector<std::string>{"--config", config_} : arguments);
  }

  std::string directory_;
  std::string state_;
  std::string config_;
  testdaemon::Stopper stopper_;
};

TEST_F(Daemon, StartsDetachedAndServes) {
  startDaemon();
  const pid_t pid = stopper_.pid;
  EXPECT_EQ(testdaemon::statusField(pid, "PPid"), "1");
  EXPECT_EQ(field(pid, 7), "0") << "has a controlling terminal";
  EXPECT_NE(field(pid, 6), std::to_string(getsid(0))) << "still in the starter's session";
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), "/");
  // Owner only: what the daemon or a token library makes is no other user's to change.
  EXPECT_EQ(testdaemon::statusField(pid, "Umask"), "0077");
  // Standard input, output and error lead nowhere.
  for (int fd = 0; fd < 3; ++fd) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)),
              "/dev/null");
  }

  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  EXPECT_EQ(request(client, kVersionRequest), kVersionReply);
}

TEST_F(Daemon, SecondStartReportsThePortInUse) {
  startDaemon();
  const testdaemon::StartResult second = start();
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(second.errorOutput, "tokenbridged: cannot listen on port 9446: Address already in use\n");
  EXPECT_TRUE(testdaemon::alive(stopper_.pid));
  EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), stopper_.pid);
}

TEST_F(Daemon, HangUpIsIgnoredAndTerminateEndsIt) {
  startDaemon();
  kill(stopper_.pid, SIGHUP);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(testdaemon::alive(stopper_.pid));
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  EXPECT_EQ(request(client, R"({"type":"StartMonitor"})"), R"({"type":"StartMonitor", "code":"0", "data":"true"})");
  EXPECT_TRUE(testdaemon::signalAndWait(stopper_.pid, SIGTERM, 3000ms));
}

TEST_F(Daemon, ClientResettingMidReplyCostsOnlyItsConnection) {
  startDaemon();
  for (int round = 0; round < 5; ++round) {
    testsupport::RawClient vanishing;
    ASSERT_TRUE(vanishing.open(kServicePort));
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += testsupport::textFrame(kVersionRequest);
    ASSERT_TRUE(vanishing.send(burst));
    // Close with unread replies pending: the kernel answers the daemon's writes with a reset.
    const linger abort{1, 0};
    setsockopt(vanishing.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(testdaemon::alive(stopper_.pid));
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  EXPECT_EQ(request(client, kVersionRequest), kVersionReply);
}

TEST_F(Daemon, TokenRequestsFollowPlugAndUnplug) {
  startDaemon();
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  const std::string present = R"({"type":"GetDevState", "code":"0", "data":"1"})";
  const std::string absent = R"({"type":"GetDevState", "code":"1", "data":"0"})";
  EXPECT_EQ(request(client, R"({"type":"GetDevState"})"), present);
  EXPECT_EQ(request(client, R"({"type":"GetUserName"})"), R"({"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"})");
  EXPECT_EQ(request(client, R"({"type":"CloseDevice"})"), R"({"type":"CloseDevice", "code":"0", "data":""})");
  ASSERT_TRUE(softtoken("unplug"));
  EXPECT_EQ(request(client, R"({"type":"GetDevState"})"), absent);
  EXPECT_EQ(request(client, R"({"type":"VerifyUserPin","parm2":"12345678"})"),
            R"({"type":"VerifyUserPin", "code":"1", "data":"0"})");
  ASSERT_TRUE(softtoken("plug"));
  EXPECT_EQ(request(client, R"({"type":"GetDevState"})"), present);
  EXPECT_EQ(request(client, R"({"type":"ChangeUserPin","parm1":"12345678","parm2":"87654321"})"),
            R"({"type":"ChangeUserPin", "code":"0", "data":"-1"})");
  EXPECT_EQ(request(client, R"({"type":"VerifyUserPin","parm2":"87654321"})"),
            R"({"type":"VerifyUserPin", "code":"0", "data":"1"})");
}

TEST_F(Daemon, RefusesBadSettingsWithTheirLine) {
  struct Case {
    const char* name;
    std::string settings;               // written to the test's file
    std::vector<std::string> arguments;  // empty: --config <the file>
    std::string expected;               // standard error; <file> stands for the file's path
  };
  const Case cases[] = {
      {"unknown key", "# comment\nlisten = 127.0.0.1\nmax-clients = 5\n", {}, "<file>:3: unknown key 'max-clients'"},
      {"bad value", "max-connections = many\n", {}, "<file>:1: max-connections: expected a whole number, 1 or more"},
      {"repeated key", "handshake-timeout = 5\nhandshake-timeout = 6\n", {},
       "<file>:2: handshake-timeout: given twice (first on line 1)"},
      {"host name", "listen = localhost\n", {},
       "<file>:1: listen: 'localhost' is not a numeric IPv4 address (or an IPv6 one in brackets)"},
      {"named file missing", "", {"--config", "/nonexistent/tokenbridged.conf"},
       "/nonexistent/tokenbridged.conf: cannot open: No such file or directory"},
      {"file that cannot be read", "", {"--config", "/"}, "/: cannot read: Is a directory"},
      // All or none: the two addresses opened before the third failed are closed again.
      {"an address twice", "listen = 127.0.0.2\nlisten = [::1]\nlisten = 127.0.0.2:9446\n", {},
       "cannot listen on 127.0.0.2:9446: Address already in use"},
      {"an IPv6 address twice", "listen = [::1]:9446\nlisten = [::1]\n", {},
       "cannot listen on [::1]:9446: Address already in use"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(config_) << c.settings;
    const testdaemon::StartResult started = start(c.arguments);
    const testdaemon::Stopper wronglyStarted{testdaemon::pidListeningOn(kServicePort)};
    std::string expected = c.expected;
    if (expected.rfind("<file>", 0) == 0) expected.replace(0, 6, config_);
    EXPECT_EQ(started.exitStatus, 1);
    EXPECT_EQ(started.errorOutput, "tokenbridged: " + expected + "\n");
    EXPECT_EQ(wronglyStarted.pid, 0);
  }
}

TEST_F(Daemon, UnknownArgumentGetsTheUsageLine) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--foreground"}, std::vector<std::string>{"--config"}}) {
    const testdaemon::StartResult started = start(arguments);
    const testdaemon::Stopper wronglyStarted{testdaemon::pidListeningOn(kServicePort)};
    EXPECT_EQ(started.exitStatus, 1);
    EXPECT_EQ(started.errorOutput, "usage: tokenbridged [--config FILE]\n");
    EXPECT_EQ(wronglyStarted.pid, 0);
  }
}

// --help and --version answer on standard output and exit 0, starting nothing.
TEST_F(Daemon, HelpAndVersionAnswerAndExit) {
  const struct {
    const char* argument;
    const char* starts;
  } cases[] = {{"--help", "usage: tokenbridged [--config FILE]\n       tokenbridged --help | --version\n"},
               {"--version", "tokenbridged 1."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    FILE* program = ::popen((testsupport::targetShellCommand(TOKENBRIDGED) + " " + c.argument + " 2>&1").c_str(), "r");
    ASSERT_NE(program, nullptr);
    std::string printed;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, program) != nullptr) printed += chunk;
    const int status = ::pclose(program);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(printed.rfind(c.starts, 0), 0u) << printed;
    EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), 0);
  }
}

TEST_F(Daemon, ListensOnlyWhereTold) {
  struct Case {
    const char* name;
    std::string settings;
    bool loopback, otherLoopback, ipv6Loopback;  // whether 127.0.0.1, 127.0.0.2 and ::1 answer
  };
  const Case cases[] = {
      {"no setting: every IPv4 interface and the IPv6 loopback", "# nothing set\n", true, true, true},
      {"loopback only", "listen = 127.0.0.1\n", true, false, false},
      {"two addresses, IPv6 among them", "listen = [::1]\nlisten = 127.0.0.2:9446\n", false, true, true},
      // An IPv6 socket takes IPv6 only, so the two "any" addresses share the port.
      {"every IPv4 and every IPv6 interface", "listen = 0.0.0.0\nlisten = [::]\n", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testdaemon::Stopper stopper;
    ASSERT_NO_FATAL_FAILURE(startDaemon(c.settings, &stopper));
    const std::pair<const char*, bool> probes[] = {
        {"127.0.0.1", c.loopback}, {"127.0.0.2", c.otherLoopback}, {"::1", c.ipv6Loopback}};
    for (const auto& [address, answers] : probes) {
      SCOPED_TRACE(address);
      Peer peer(address);
      EXPECT_EQ(peer.ask(kVersionRequest), answers ? kVersionReply : "<refused>");
    }
  }
}

// What bind() to the address on the service's port says to another local user (nobody, uid 65534),
// who sets SO_REUSEADDR as a squatter would: 0 when it could bind, else the errno.
int bindErrorAsNobody(const std::string& address) {
  const pid_t child = fork();
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(255);
    const bool v6 = address.find(':') != std::string::npos;
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(kServicePort);
    sockaddr_in in4{};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(kServicePort);
    inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr);
    inet_pton(AF_INET, address.c_str(), &in4.sin_addr);
    const int bound = v6 ? bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6)
                         : bind(fd, reinterpret_cast<sockaddr*>(&in4), sizeof in4);
    _exit(bound == 0 ? 0 : errno);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Daemon, AnotherLocalUserCannotTakeTheLoopbackPortsBesideIt) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // Browsers try ::1 first for "localhost": with the default settings that port is the daemon's too.
  startDaemon();
  for (const char* address : {"::1", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(bindErrorAsNobody(address), EADDRINUSE);
  }
  // The check itself: with the daemon gone, the same user can bind both.
  ASSERT_TRUE(testdaemon::signalAndWait(stopper_.pid, SIGTERM, 5s));
  stopper_.pid = 0;
  for (const char* address : {"::1", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(bindErrorAsNobody(address), 0);
  }
}

TEST_F(Daemon, ConnectionsBeyondTheCapAreClosedWithoutAByte) {
  // Two addresses share one cap: it counts the daemon's connections, not one listener's.
  startDaemon("listen = 127.0.0.1\nlisten = 127.0.0.2\nmax-connections = 2\n");
  auto first = std::make_unique<Peer>("127.0.0.1");
  Peer second("127.0.0.2");
  ASSERT_EQ(first->ask(kVersionRequest), kVersionReply);
  ASSERT_EQ(second.ask(kVersionRequest), kVersionReply);

  for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    Peer surplus(address);
    ASSERT_TRUE(surplus.connected());  // the kernel completes the handshake; the daemon then closes
    EXPECT_EQ(surplus.ask(kVersionRequest), "<closed without a byte>");
  }
  // The served connections were not disturbed.
  EXPECT_EQ(first->ask(kVersionRequest), kVersionReply);
  EXPECT_EQ(second.ask(kVersionRequest), kVersionReply);

  // One served connection ends: its place is free for the next client.
  first.reset();
  std::string reply;
  for (auto deadline = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < deadline;) {
    Peer next("127.0.0.1");
    reply = next.ask(kVersionRequest);
    if (reply == kVersionReply) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(reply, kVersionReply);
}

// The file's page and size settings reach the wire of the started daemon: a listed Origin is
// upgraded and an over-long message then closes with 1009; a foreign Origin, or none when missing
// ones are refused, gets the 403 and the end of the connection.
TEST_F(Daemon, PageAndSizeSettingsFromTheFileReachTheWire) {
  startDaemon("allow-origin = https://pages.example\nallow-missing-origin = no\nmax-message-bytes = 64\n");
  for (const char* origin : {"Origin: https://elsewhere.example\r\n", ""}) {
    SCOPED_TRACE(origin);
    testsupport::RawClient refused;
    ASSERT_TRUE(refused.connect(kServicePort));
    ASSERT_TRUE(refused.send(testsupport::RawClient::upgradeRequest("/", origin)));
    const testsupport::Drained answer = refused.drain(3000);
    EXPECT_EQ(answer.bytes, testsupport::kForbiddenResponse);
    EXPECT_TRUE(answer.closed);
  }

  testsupport::RawClient page;
  ASSERT_TRUE(page.connect(kServicePort));
  ASSERT_EQ(page.upgrade("/", "Origin: https://pages.example\r\n").rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u);
  EXPECT_EQ(request(page, kVersionRequest), kVersionReply);
  ASSERT_TRUE(page.send(testsupport::textFrame(std::string(65, 'x'))));
  const auto close = page.readFrame(3000);
  ASSERT_TRUE(close.has_value());
  EXPECT_EQ(close->opcode(), 8u);
  EXPECT_EQ(close->payload, std::string(net::kMessageTooBig));
  EXPECT_TRUE(page.waitClosed(3000));
}

// The file's message-timeout and pong-timeout reach the wire: a message left half-sent and a peer
// that answers no ping are closed with 1008. Without them (no settings file) both stay open.
TEST_F(Daemon, MessageAndPongTimeoutsCloseOnlyWhenSet) {
  const std::string halfRequest = testsupport::textFrame(kVersionRequest).substr(0, 6);
  const std::string ping("\x89\x00", 2);
  const auto closeFrame = [](std::string_view reason) {
    return std::string{'\x88', static_cast<char>(2 + reason.size()), '\x03', '\xF0'} + std::string(reason);
  };
  const struct {
    const char* settings;
    testsupport::Drained half;    // within 4.5 s of sending half a request
    bool silentClosed;            // within 12 s of the upgrade, having answered no ping
  } cases[] = {
      {"message-timeout = 1\npong-timeout = 1\n", {closeFrame("message timeout"), true}, true},
      {"", {"", false}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    testdaemon::Stopper stopper;
    startDaemon(c.settings, &stopper);
    const auto start = std::chrono::steady_clock::now();
    testsupport::RawClient half, silent;
    ASSERT_TRUE(silent.open(kServicePort));
    ASSERT_TRUE(half.open(kServicePort));
    ASSERT_TRUE(half.send(halfRequest));
    const testsupport::Drained halfSeen = half.drain(4500);
    EXPECT_EQ(halfSeen.bytes, c.half.bytes);
    EXPECT_EQ(halfSeen.closed, c.half.closed);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + 12s - std::chrono::steady_clock::now());
    const testsupport::Drained silentSeen = silent.drain(static_cast<int>(left.count()));
    EXPECT_EQ(silentSeen.closed, c.silentClosed);
    if (c.silentClosed) {
      EXPECT_EQ(silentSeen.bytes, ping + closeFrame("no pong"));
    } else {
      EXPECT_TRUE(silentSeen.bytes == ping || silentSeen.bytes == ping + ping) << silentSeen.bytes.size();
    }
  }  // the stopper ends this daemon before the next starts
}

// Every request type through the started daemon on the default software token, in an order where
// each reply depends on the ones before. Cross-built, this is the target's daemon under the emulator.
TEST_F(Daemon, AnswersEveryRequestTypeOnItsPort) {
  struct Exchange {
    std::string request;
    std::string reply;
  };
  const Exchange exchanges[] = {
      {kVersionRequest, kVersionReply},
      {R"({"type":"StartMonitor"})", R"({"type":"StartMonitor", "code":"0", "data":"true"})"},
      {R"({"type":"GetDevState"})", R"({"type":"GetDevState", "code":"0", "data":"1"})"},
      {R"({"type":"OpenDevice"})", R"({"type":"OpenDevice", "code":"0", "data":"TRUE"})"},
      {R"({"type":"GetUserName"})", R"({"type":"GetUserName", "code":"0", "data":"TB0123456789ABCDEF01"})"},
      {R"({"type":"CloseDevice"})", R"({"type":"CloseDevice", "code":"0", "data":""})"},
      {R"({"type":"VerifyUserPin","parm2":"00000000"})", R"({"type":"VerifyUserPin", "code":"1", "data":"0"})"},
      {R"({"type":"VerifyUserPin","parm2":"12345678"})", R"({"type":"VerifyUserPin", "code":"0", "data":"1"})"},
      {R"({"type":"ChangeUserPin","parm1":"12345678","parm2":"87654321"})",
       R"({"type":"ChangeUserPin", "code":"0", "data":"-1"})"},
      {R"({"type":"UnblockUserPin","parm1":"admin12345","parm2":"12345678"})",
       R"({"type":"UnblockUserPin", "code":"0", "data":"-1"})"},
      {R"({"type":"VerifyUserPin","parm2":"12345678"})", R"({"type":"VerifyUserPin", "code":"0", "data":"1"})"},
      // SHA-1 of the 15 bytes, and two-key Triple-DES keyed by SHA-1("TB0123456789ABC"), both
      // worked out apart from this code.
      {R"({"type":"ZPSHA1","parm1":"hello, token!!!"})",
       R"({"type":"ZPSHA1", "code":"0", "data":"EAF26E21922421E3EC35B7CA595B956424C3769B"})"},
      {R"({"type":"ZPCrypt","parm4":"0123456789ABCDEF0123456789ABCDEFFEDCBA9876543210"})",
       R"({"type":"ZPCrypt", "code":"0", "data":"08D331358F6FEB8E08D331358F6FEB8EA2E24B69F601AA8C"})"},
      {R"({"type":"Foo"})", R"({"type":"Foo", "code":"-1", "data":"-1097"})"},
      {R"({"type":""})", R"({"type":"VQUnSupport", "code":"-1", "data":"-1097"})"},
      {R"(not json)", R"({"type":"VQUnSupport", "code":"-1", "data":"-1098"})"},
  };
  startDaemon();
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ(request(client, exchange.request), exchange.reply) << exchange.request;
  }
  // A library built with 8-byte ULONG gives the same replies (the PINs are back where they began),
  // and under AddressSanitizer no write past a 4-byte variable.
  ASSERT_TRUE(softtoken("quirk wide-ulong on"));
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ(request(client, exchange.request), exchange.reply) << "wide-ulong: " << exchange.request;
  }
  // A locked PIN's count, read through the 8 bytes.
  ASSERT_TRUE(softtoken("init --user-retries 1"));
  EXPECT_EQ(request(client, R"({"type":"VerifyUserPin","parm2":"00000000"})"),
            R"({"type":"VerifyUserPin", "code":"1", "data":"-1"})");
}

}  // namespace

namespace {

// The token's slow and stuck modes against the started daemon: token calls run on a thread of
// their own, so what needs no token, and new pages, are served meanwhile.
std::string frameText(testsupport::RawClient& client, int timeoutMs) {
  const auto frame = client.readFrame(timeoutMs);
  return frame ? frame->payload : "<nothing>";
}

const std::string kPresent = R"({"type":"GetDevState", "code":"0", "data":"1"})";

TEST_F(Daemon, OthersAreServedWhileATokenCallIsSlowOrStuckAndEachConnectionKeepsItsOrder) {
  struct Case {
    const char* name;
    const char* setUp;    // softtoken arguments
    const char* release;  // softtoken arguments that let the call return, or nothing (it ends by itself)
  };
  const Case cases[] = {
      {"slow", "slow 2500 SKF_EnumDev", nullptr},
      {"stuck", "stick SKF_EnumDev", "release SKF_EnumDev"},
  };
  startDaemon();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(softtoken(c.setUp));
    testsupport::RawClient held;
    ASSERT_TRUE(held.open(kServicePort));
    // One write: a token request, then one that needs none; the second is answered after the first.
    ASSERT_TRUE(held.send(testsupport::textFrame(R"({"type":"GetDevState"})") + testsupport::textFrame(kVersionRequest)));
    std::this_thread::sleep_for(100ms);
    // Another page, and a page that connects only now, are answered well before the token call ends.
    testsupport::RawClient other;
    ASSERT_TRUE(other.open(kServicePort));
    EXPECT_EQ(request(other, kVersionRequest), kVersionReply);
    EXPECT_EQ(request(other, R"({"type":"StartMonitor"})"), R"({"type":"StartMonitor", "code":"0", "data":"true"})");
    EXPECT_EQ(frameText(held, 200), "<nothing>");
    if (c.release != nullptr) {
      ASSERT_TRUE(softtoken(c.release));
    }
    EXPECT_EQ(frameText(held, 10000), kPresent);
    EXPECT_EQ(frameText(held, 3000), kVersionReply);
    ASSERT_TRUE(softtoken("slow 0 SKF_EnumDev"));
  }
}

// The calls counted in the state file's "calls" member for a function.
long countedCalls(const std::string& statePath, const std::string& function) {
  std::ifstream file(statePath);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t calls = text.find("\"calls\"");
  const std::size_t entry = calls == std::string::npos ? calls : text.find("\"" + function + "\" : ", calls);
  if (entry == std::string::npos) return -1;
  return std::stol(text.substr(entry + function.size() + 5));
}

TEST_F(Daemon, PagesPollingTogetherShareThePresenceChecks) {
  constexpr int kPollers = 8;
  constexpr int kRounds = 5;
  ASSERT_TRUE(softtoken("slow 50 SKF_EnumDev"));
  startDaemon();
  // One check alone, to learn what a check costs in SKF_EnumDev calls on this token.
  testsupport::RawClient alone;
  ASSERT_TRUE(alone.open(kServicePort));
  ASSERT_TRUE(softtoken("count SKF_EnumDev"));
  ASSERT_EQ(request(alone, R"({"type":"GetDevState"})"), kPresent);
  const long perCheck = countedCalls(state_, "SKF_EnumDev");
  ASSERT_GE(perCheck, 1);
  ASSERT_TRUE(softtoken("count SKF_EnumDev"));

  std::vector<std::thread> pollers;
  std::atomic<int> replies{0};
  for (int i = 0; i < kPollers; ++i) {
    pollers.emplace_back([&] {
      testsupport::RawClient client;
      if (!client.open(kServicePort)) return;
      for (int round = 0; round < kRounds; ++round) {
        if (request(client, R"({"type":"GetDevState"})") == kPresent) ++replies;
      }
    });
  }
  for (std::thread& poller : pollers) poller.join();
  EXPECT_EQ(replies.load(), kPollers * kRounds);
  // Checked one by one, the replies would cost perCheck calls each; shared, far fewer.
  const long calls = countedCalls(state_, "SKF_EnumDev");
  EXPECT_LE(calls, perCheck * kPollers * kRounds / 2) << calls << " calls for " << replies.load() << " replies";
}

TEST_F(Daemon, PinsEmptyOrLongerThanSixtyFourBytesAreRefusedWithoutCallingTheLibrary) {
  struct Case {
    const char* name;
    std::string request;
    std::string reply;
  };
  const std::string tooLong(65, '7');
  const std::string verifyRefused = R"({"type":"VerifyUserPin", "code":"1", "data":"0"})";
  const Case cases[] = {
      {"verify", R"({"type":"VerifyUserPin","parm2":")" + tooLong + R"("})", verifyRefused},
      {"change, old PIN", R"({"type":"ChangeUserPin","parm1":")" + tooLong + R"(","parm2":"87654321"})",
       R"({"type":"ChangeUserPin", "code":"1", "data":"-1"})"},
      {"change, new PIN", R"({"type":"ChangeUserPin","parm1":"12345678","parm2":")" + tooLong + R"("})",
       R"({"type":"ChangeUserPin", "code":"1", "data":"-1"})"},
      {"unblock, admin PIN", R"({"type":"UnblockUserPin","parm1":")" + tooLong + R"(","parm2":"12345678"})",
       R"({"type":"UnblockUserPin", "code":"1", "data":"-1"})"},
      {"unblock, new PIN", R"({"type":"UnblockUserPin","parm1":"admin12345","parm2":")" + tooLong + R"("})",
       R"({"type":"UnblockUserPin", "code":"1", "data":"-1"})"},
      {"verify, empty", R"({"type":"VerifyUserPin","parm2":""})", verifyRefused},
      {"verify, none given", R"({"type":"VerifyUserPin"})", verifyRefused},
      {"change, empty new PIN", R"({"type":"ChangeUserPin","parm1":"12345678","parm2":""})",
       R"({"type":"ChangeUserPin", "code":"1", "data":"-1"})"},
      {"unblock, empty admin PIN", R"({"type":"UnblockUserPin","parm1":"","parm2":"12345678"})",
       R"({"type":"UnblockUserPin", "code":"1", "data":"-1"})"},
  };
  startDaemon();
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  ASSERT_TRUE(softtoken("count SKF_ConnectDev"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(request(client, c.request), c.reply);
  }
  EXPECT_EQ(countedCalls(state_, "SKF_ConnectDev"), 0);
  // 64 bytes still go to the library, which refuses that length itself, with the same answer.
  EXPECT_EQ(request(client, R"({"type":"VerifyUserPin","parm2":")" + std::string(64, '7') + R"("})"), verifyRefused);
  EXPECT_EQ(countedCalls(state_, "SKF_ConnectDev"), 1);
}

}  // namespace
