// SPDX-License-Identifier: MIT
// The device and PIN requests through the real dispatcher and the software token: every reply
// outcome, the handles left open after each request, and the sequences that depend on them.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "tests/service/expected_replies.h"
#include "tests/token/soft_token_fixture.h"
#include "token/application.h"
#include "token/dev_mgnt.h"
#include "token/warnings.h"

namespace {

// Defaults of `softtoken init`.
const std::string kSerial = "TB0123456789ABCDEF01";
const std::string kUserPin = "12345678";
const std::string kAdminPin = "admin12345";

using expected::reply;

struct Step {
  std::string request;
  std::string expected;
  bool deviceOpenAfter;  // the application is never open between requests
};

struct Scenario {
  const char* name;
  std::vector<std::string> setup;  // softtoken commands run first
  std::vector<Step> steps;
};

const std::string kOpen = R"({"type":"OpenDevice"})";
const std::string kState = R"({"type":"GetDevState"})";
const std::string kName = R"({"type":"GetUserName"})";
const std::string kClose = R"({"type":"CloseDevice"})";
std::string verify(const std::string& pin) { return R"({"type":"VerifyUserPin","parm2":")" + pin + "\"}"; }
std::string change(const std::string& from, const std::string& to) {
  return R"({"type":"ChangeUserPin","parm1":")" + from + R"(","parm2":")" + to + "\"}";
}
std::string unblock(const std::string& admin, const std::string& to) {
  return R"({"type":"UnblockUserPin","parm1":")" + admin + R"(","parm2":")" + to + "\"}";
}

class TokenCommands : public SoftTokenTest {};

// Each scenario runs on a fresh token: its setup commands, then its requests in order.
class TokenScenario : public SoftTokenTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(TokenScenario, RepliesAndHandlesAfterEachStep) {
  const Scenario& scenario = GetParam();
  for (const std::string& command : scenario.setup) ASSERT_TRUE(softtoken(command)) << command;
  for (const Step& step : scenario.steps) {
    SCOPED_TRACE(step.request);
    EXPECT_EQ(request(step.request), step.expected);
    EXPECT_EQ(g_hDev != nullptr, step.deviceOpenAfter);
    EXPECT_EQ(g_hApp, nullptr);
  }
}

// The scenario's name as a test name: letters and digits only.
std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  bool upper = true;
  for (const char* c = info.param.name; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) {
      name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
      upper = false;
    } else {
      upper = true;
    }
  }
  return name;
}

const Scenario kDeviceScenarios[] = {
    {"open connects", {}, {{kOpen, reply("OpenDevice", "0", "TRUE"), true}}},
    {"open without token", {"unplug"}, {{kOpen, reply("OpenDevice", "1", "FALSE"), false}}},
    {"open refused", {"fail SKF_ConnectDev 0x0A000001 --once"}, {{kOpen, reply("OpenDevice", "1", "FALSE"), false}}},
    {"open twice connects twice",
     {},
     {{kOpen, reply("OpenDevice", "0", "TRUE"), true}, {kOpen, reply("OpenDevice", "0", "TRUE"), true}}},
    {"state with token", {}, {{kState, reply("GetDevState", "0", "1"), false}}},
    {"state without token", {"unplug"}, {{kState, reply("GetDevState", "1", "0"), false}}},
    {"state leaves a connection alone",
     {},
     {{kOpen, reply("OpenDevice", "0", "TRUE"), true}, {kState, reply("GetDevState", "0", "1"), true}}},
    {"serial number, then close",
     {},
     {{kName, reply("GetUserName", "0", kSerial), true}, {kClose, reply("CloseDevice", "0", ""), false}}},
    {"serial number refused", {"fail SKF_GetDevInfo 0x0A000001"}, {{kName, reply("GetUserName", "1", "0000"), true}}},
    {"serial number without token", {"unplug"}, {{kName, reply("GetUserName", "1", ""), false}}},
    {"close with nothing open", {}, {{kClose, reply("CloseDevice", "0", ""), false}}},
};
INSTANTIATE_TEST_SUITE_P(Device, TokenScenario, ::testing::ValuesIn(kDeviceScenarios), scenarioName);

TEST_F(TokenCommands, SecondConnectRefusedKeepsTheFirstHandle) {
  ASSERT_EQ(request(kOpen), reply("OpenDevice", "0", "TRUE"));
  const DEVHANDLE first = g_hDev;
  ASSERT_TRUE(softtoken("fail SKF_ConnectDev 0x0A000001 --once"));
  EXPECT_EQ(request(kOpen), reply("OpenDevice", "1", "FALSE"));
  EXPECT_EQ(g_hDev, first);
}

TEST_F(TokenCommands, RefusedDisconnectAnswersCodeOneAndForgetsTheHandle) {
  ASSERT_EQ(request(kOpen), reply("OpenDevice", "0", "TRUE"));
  ASSERT_TRUE(softtoken("fail SKF_DisConnectDev 0x0A000001 --once"));
  EXPECT_EQ(request(kClose), reply("CloseDevice", "1", ""));
  EXPECT_EQ(g_hDev, nullptr);
}

const Scenario kPinScenarios[] = {
    {"right PIN", {}, {{verify(kUserPin), reply("VerifyUserPin", "0", "1"), false}}},
    {"wrong PIN with tries left", {}, {{verify("87654321"), reply("VerifyUserPin", "1", "0"), false}}},
    {"verify without token", {"unplug"}, {{verify(kUserPin), reply("VerifyUserPin", "1", "0"), false}}},
    {"application refused", {"fail SKF_OpenApplication 0x0A00002E --once"},
     {{verify(kUserPin), reply("VerifyUserPin", "1", "0"), false}}},
    {"verify closes what OpenDevice opened, close finds nothing",
     {},
     {{kOpen, reply("OpenDevice", "0", "TRUE"), true},
      {verify(kUserPin), reply("VerifyUserPin", "0", "1"), false},
      {kClose, reply("CloseDevice", "0", ""), false}}},
    {"PIN locks when the tries run out, unblock sets a new one",
     {"init --user-retries 3"},
     {{verify("00000000"), reply("VerifyUserPin", "1", "0"), false},
      {verify("00000000"), reply("VerifyUserPin", "1", "0"), false},
      {verify("00000000"), reply("VerifyUserPin", "1", "-1"), false},
      {verify(kUserPin), reply("VerifyUserPin", "1", "-1"), false},
      {unblock(kAdminPin, "11112222"), reply("UnblockUserPin", "0", "-1"), false},
      {verify("11112222"), reply("VerifyUserPin", "0", "1"), false}}},
    {"change, then the new PIN works",
     {},
     {{change(kUserPin, "99998888"), reply("ChangeUserPin", "0", "-1"), false},
      {verify(kUserPin), reply("VerifyUserPin", "1", "0"), false},
      {verify("99998888"), reply("VerifyUserPin", "0", "1"), false}}},
    {"change with a wrong old PIN reports the tries left",
     {},
     {{change("00000000", "99998888"), reply("ChangeUserPin", "1", "5"), false},
      {change("00000000", "99998888"), reply("ChangeUserPin", "1", "4"), false}}},
    {"change without token", {"unplug"}, {{change(kUserPin, "99998888"), reply("ChangeUserPin", "1", "-1"), false}}},
    {"unblock with a wrong administrator PIN reports its tries left",
     {},
     {{unblock("wrongadmin", "11112222"), reply("UnblockUserPin", "1", "9"), false}}},
    {"unblock without token", {"unplug"}, {{unblock(kAdminPin, "11112222"), reply("UnblockUserPin", "1", "-1"), false}}},
    {"PIN command ends a GetUserName connection",
     {},
     {{kName, reply("GetUserName", "0", kSerial), true},
      {change(kUserPin, kUserPin), reply("ChangeUserPin", "0", "-1"), false}}},
};
INSTANTIATE_TEST_SUITE_P(Pin, TokenScenario, ::testing::ValuesIn(kPinScenarios), scenarioName);

// A faulty library's answers. The application's name is read only up to the buffer and the size
// reported, and only a name whose NUL lies within them is opened; the device information has room
// for a record longer than ours. An over-read or overflow here is caught by the sanitizer build;
// the understated size shows in the reply itself.
const Scenario kQuirkScenarios[] = {
    {"overstated sizes, the name still ends at its NUL",
     {"quirk overstated-sizes on"},
     {{kState, reply("GetDevState", "0", "1"), false}, {verify(kUserPin), reply("VerifyUserPin", "0", "1"), false}}},
    {"unterminated list is not opened",
     {"quirk unterminated-lists on"},
     {{kState, reply("GetDevState", "0", "1"), false}, {verify(kUserPin), reply("VerifyUserPin", "1", "0"), false}}},
    {"unterminated list with an overstated size is not opened",
     {"quirk unterminated-lists on", "quirk overstated-sizes on"},
     {{kState, reply("GetDevState", "0", "1"), false},
      {change(kUserPin, "99998888"), reply("ChangeUserPin", "1", "-1"), false}}},
    {"understated size cuts the name before its NUL",
     {"quirk understated-sizes on"},
     {{kState, reply("GetDevState", "0", "1"), false}, {verify(kUserPin), reply("VerifyUserPin", "1", "0"), false}}},
    {"understated size that still holds the first name",
     {"init --app APP1 --app " + std::string(64, 'B'), "quirk understated-sizes on"},
     {{verify(kUserPin), reply("VerifyUserPin", "0", "1"), false}}},
    {"device information written past its record",
     {"init --serial " + std::string(32, 'S'), "quirk oversized-devinfo on", "quirk unterminated-serial on"},
     {{kName, reply("GetUserName", "0", std::string(32, 'S')), true}, {kClose, reply("CloseDevice", "0", ""), false}}},
};
INSTANTIATE_TEST_SUITE_P(Quirks, TokenScenario, ::testing::ValuesIn(kQuirkScenarios), scenarioName);

// A library built with 8-byte ULONG writes 8 bytes through every size and tries-left pointer, and a
// longer device record. Every request type, each answered as with a 4-byte library; in the
// sanitizer build a 4-byte place for any of them is a stack-buffer-overflow.
const std::string kWide = "quirk wide-ulong on";
const std::string kBlocks = "0123456789ABCDEF0123456789ABCDEFFEDCBA9876543210";
const Scenario kWideUlongScenarios[] = {
    {"device requests",
     {kWide},
     {{kState, reply("GetDevState", "0", "1"), false},
      {kOpen, reply("OpenDevice", "0", "TRUE"), true},
      {kName, reply("GetUserName", "0", kSerial), true},
      {kClose, reply("CloseDevice", "0", ""), false},
      {R"({"type":"GetLibVersion"})", expected::kVersionReply, false},
      {R"({"type":"StartMonitor"})", reply("StartMonitor", "0", "true"), false}}},
    {"digest and cipher",
     {kWide},
     {{R"({"type":"ZPSHA1","parm1":"abcdefghijklmnop"})", reply("ZPSHA1", "0", "2938DCC2E3AA77987C7E5D4A0F26966706D06782"),
       false},
      {R"({"type":"ZPCrypt","parm4":")" + kBlocks + "\"}",
       reply("ZPCrypt", "0", "08D331358F6FEB8E08D331358F6FEB8EA2E24B69F601AA8C"), false}}},
    {"PIN requests and the tries left",
     {"init --user-retries 3", kWide},
     {{verify(kUserPin), reply("VerifyUserPin", "0", "1"), false},
      {change("00000000", "99998888"), reply("ChangeUserPin", "1", "2"), false},
      {verify("00000000"), reply("VerifyUserPin", "1", "0"), false},
      {verify("00000000"), reply("VerifyUserPin", "1", "-1"), false},
      {unblock("wrongadmin", "11112222"), reply("UnblockUserPin", "1", "9"), false},
      {unblock(kAdminPin, "11112222"), reply("UnblockUserPin", "0", "-1"), false},
      {change("11112222", kUserPin), reply("ChangeUserPin", "0", "-1"), false}}},
    {"32-character serial in the longer record",
     {"init --serial " + std::string(32, 'S'), kWide, "quirk unterminated-serial on"},
     {{kName, reply("GetUserName", "0", std::string(32, 'S')), true}}},
    {"with overstated sizes",
     {kWide, "quirk overstated-sizes on"},
     {{kState, reply("GetDevState", "0", "1"), false}, {verify(kUserPin), reply("VerifyUserPin", "0", "1"), false}}},
    {"with a huge size query, no token listed",
     {kWide, "quirk huge-size-query on", "unplug"},
     {{kState, reply("GetDevState", "1", "0"), false}, {verify(kUserPin), reply("VerifyUserPin", "1", "0"), false}}},
};
INSTANTIATE_TEST_SUITE_P(WideUlong, TokenScenario, ::testing::ValuesIn(kWideUlongScenarios), scenarioName);

// The address sanitizer reserves terabytes of address space, so a limit on it cannot be set there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// A size query answering 4 GiB: the device list is asked for with bounded room, not that much. The
// request runs in a child whose address space has only 512 MiB to spare, where an allocation of
// the size answered would fail and the token would read as absent.
TEST_F(TokenCommands, HugeDeviceListSizeIsNotAllocated) {
  if (kAddressSanitizer) GTEST_SKIP() << "an address-space limit does not work under the address sanitizer";
  ASSERT_TRUE(softtoken("quirk huge-size-query on"));
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t spare = rlim_t{512} << 20;
    const rlimit limit{static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + spare, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(1);
    const std::string answer = request(kState);
    const bool sent = ::write(channel[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(channel[1]);
  std::string answer;
  char buffer[256];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(channel[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(answer, reply("GetDevState", "0", "1"));
}

TEST_F(TokenCommands, ApplicationRefusedAfterOpenDeviceDisconnects) {
  ASSERT_EQ(request(kOpen), reply("OpenDevice", "0", "TRUE"));
  ASSERT_TRUE(softtoken("fail SKF_OpenApplication 0x0A00002E --once"));
  EXPECT_EQ(request(verify(kUserPin)), reply("VerifyUserPin", "1", "0"));
  EXPECT_EQ(g_hDev, nullptr);
  EXPECT_EQ(g_hApp, nullptr);
}

TEST_F(TokenCommands, VerifyReadsThePinFromParm2Only) {
  // The PIN sent in parm1 is not read: the token sees an empty PIN and refuses it.
  const std::string answer = request(R"({"type":"VerifyUserPin","parm1":")" + kUserPin + "\"}");
  EXPECT_EQ(answer.substr(0, 36), R"({"type":"VerifyUserPin", "code":"1",)");
  EXPECT_EQ(request(verify(kUserPin)), reply("VerifyUserPin", "0", "1")) << "a refused empty PIN must not lock";
}

TEST_F(TokenCommands, RefusedApplicationCloseKeepsTheDeviceUntilTheNextClose) {
  // Between requests no application is open, so open one the way a PIN command does.
  ASSERT_EQ(request(kOpen), reply("OpenDevice", "0", "TRUE"));
  CApplicationTest app;
  ASSERT_EQ(app.Test_OpenApplication(), 1);
  ASSERT_TRUE(softtoken("fail SKF_CloseApplication 0x0A000001 --once"));
  EXPECT_EQ(request(kClose), reply("CloseDevice", "1", ""));
  EXPECT_EQ(g_hApp, nullptr);
  EXPECT_NE(g_hDev, nullptr);
  EXPECT_EQ(request(kClose), reply("CloseDevice", "0", ""));
  EXPECT_EQ(g_hDev, nullptr);
}

std::vector<std::string> g_warnings;
void keepWarning(const std::string& line) { g_warnings.push_back(line); }

// The trace line on standard output after every connect, and the operator's warning (through the
// sink the daemon points at its system log) after a refused one only.
TEST_F(TokenCommands, ConnectTraceLineCarriesTheLibraryCode) {
  struct Case {
    const char* name;
    const char* fault;  // softtoken fail arguments, or empty
    std::string line;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"connected", "", "----------SKF_ConnectDev rv = 0x00000000 \n", {}},
      {"refused", "fail SKF_ConnectDev 0x0A000023 --once", "----------SKF_ConnectDev rv = 0x0A000023 \n",
       {"token connect failed: SKF_ConnectDev returned 0x0A000023"}},
      {"small code has leading zeros", "fail SKF_ConnectDev 0x1F --once", "----------SKF_ConnectDev rv = 0x0000001F \n",
       {"token connect failed: SKF_ConnectDev returned 0x0000001F"}},
  };
  token::setWarningSink(keepWarning);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (*c.fault != '\0') {
      ASSERT_TRUE(softtoken(c.fault));
    }
    g_warnings.clear();
    ::testing::internal::CaptureStdout();
    request(kOpen);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.substr(0, c.line.size()), c.line);
    EXPECT_EQ(g_warnings, c.warnings);
  }
  token::setWarningSink(nullptr);
  // Without a console (the detached daemon) the trace line goes nowhere.
  token::setTraceConsole(nullptr);
  ASSERT_TRUE(softtoken("fail SKF_ConnectDev 0x1F --once"));
  ::testing::internal::CaptureStdout();
  request(kOpen);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(TokenCommands, NoTokenPrintsNoConnectLine) {
  ASSERT_TRUE(softtoken("unplug"));
  ::testing::internal::CaptureStdout();
  request(kOpen);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find("SKF_ConnectDev"), std::string::npos);
}

TEST_F(TokenCommands, ThirtyTwoCharacterSerialIsCopiedWhole) {
  const std::string serial(32, 'S');
  ASSERT_TRUE(softtoken("init --serial " + serial));
  ASSERT_TRUE(softtoken("quirk unterminated-serial on"));  // as a maker's library may fill the field
  EXPECT_EQ(request(kName), reply("GetUserName", "0", serial));
}

TEST_F(TokenCommands, UnplugAfterConnectIsNoticedByTheNextRequest) {
  ASSERT_EQ(request(kName), reply("GetUserName", "0", kSerial));
  ASSERT_TRUE(softtoken("unplug"));
  // The kept handle belongs to a removed token: the device information is refused.
  EXPECT_EQ(request(kName), reply("GetUserName", "1", "0000"));
  EXPECT_EQ(request(kState), reply("GetDevState", "1", "0"));
}

}  // namespace
