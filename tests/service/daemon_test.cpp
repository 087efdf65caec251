// SPDX-License-Identifier: MIT
// tokenbridged as a user starts it: detaching, reporting start-up, signals, a client that resets
// mid-reply, and a few token requests with the software token plugged and unplugged in between.
// The daemon always serves port 9446; it is found and stopped by the pid listening there.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/service/daemon_control.h"
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

class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testdaemon::pidListeningOn(kServicePort), 0) << "port 9446 is in use; stop what listens there first";
    std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridged-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    state_ = directory_ + "/state.json";
    setenv("SOFTTOKEN_STATE", state_.c_str(), 1);
    ASSERT_TRUE(softtoken("init"));
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  static bool softtoken(const std::string& arguments) {
    return std::system((std::string(SOFTTOKEN_COMMAND) + " " + arguments + " >/dev/null").c_str()) == 0;
  }

  // Starts the daemon and checks the starter's verdict; the Stopper ends it after the test.
  void startDaemon() {
    const testdaemon::StartResult started = testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}});
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    EXPECT_LT(started.took, 1000ms);
    EXPECT_EQ(started.errorOutput, "");
    stopper_.pid = testdaemon::pidListeningOn(kServicePort);
    ASSERT_NE(stopper_.pid, 0) << "the starter reported success but nothing listens on 9446";
  }

  std::string directory_;
  std::string state_;
  testdaemon::Stopper stopper_;
};

TEST_F(Daemon, StartsDetachedAndServes) {
  startDaemon();
  const pid_t pid = stopper_.pid;
  EXPECT_EQ(testdaemon::statusField(pid, "PPid"), "1");
  EXPECT_EQ(field(pid, 7), "0") << "has a controlling terminal";
  EXPECT_NE(field(pid, 6), std::to_string(getsid(0))) << "still in the starter's session";
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), "/");
  EXPECT_EQ(testdaemon::statusField(pid, "Umask"), "0000");
  // Standard input, output and error lead nowhere.
  for (int fd = 0; fd < 3; ++fd) {
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)),
              "/dev/null");
  }

  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  EXPECT_EQ(request(client, R"({"type":"GetLibVersion"})"), R"({"type":"GetLibVersion", "code":"0", "data":"1.0.220104"})");
}

TEST_F(Daemon, SecondStartReportsThePortInUse) {
  startDaemon();
  const testdaemon::StartResult second = testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}});
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
    for (int i = 0; i < 2000; ++i) burst += testsupport::textFrame(R"({"type":"GetLibVersion"})");
    ASSERT_TRUE(vanishing.send(burst));
    // Close with unread replies pending: the kernel answers the daemon's writes with a reset.
    const linger abort{1, 0};
    setsockopt(vanishing.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(testdaemon::alive(stopper_.pid));
  testsupport::RawClient client;
  ASSERT_TRUE(client.open(kServicePort));
  EXPECT_EQ(request(client, R"({"type":"GetLibVersion"})"), R"({"type":"GetLibVersion", "code":"0", "data":"1.0.220104"})");
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

}  // namespace
