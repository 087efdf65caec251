// SPDX-License-Identifier: MIT
// The daemon started as usual with its library slot on the PKCS#11 library over a SoftHSM2 token:
// every request type over the WebSocket, and the token removed and made again while it runs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <string>

#include "tests/pkcs11/softhsm_token.h"
#include "tests/service/daemon_control.h"
#include "tests/support/ws_client.h"

namespace {

std::string request(testsupport::RawClient& client, const std::string& json) {
  if (!client.send(testsupport::textFrame(json))) return "<send failed>";
  const auto frame = client.readFrame(5000);
  return frame ? frame->payload : "<no reply>";
}

std::string reply(const std::string& type, const std::string& code, const std::string& data) {
  return R"({"type":")" + type + R"(", "code":")" + code + R"(", "data":")" + data + R"("})";
}

class DaemonOnSoftHsm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (token_.dir().empty()) GTEST_SKIP() << "softhsm2 is not installed";
    std::string out;
    ASSERT_TRUE(token_.make(&out)) << out;
    ASSERT_NO_FATAL_FAILURE(beforeDaemon());
    std::ofstream(token_.dir() + "/tokenbridged.conf") << "";
    const auto started = testdaemon::start(
        TOKENBRIDGED, {{"LD_LIBRARY_PATH", PKCS11_LIBRARY_DIR}},
        {"--config", token_.dir() + "/tokenbridged.conf"});
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    stopper_.pid = testdaemon::pidListeningOn(testdaemon::kServicePort);
    ASSERT_NE(stopper_.pid, 0);
    ASSERT_TRUE(client_.open(testdaemon::kServicePort));
  }

  virtual void beforeDaemon() {}
  std::string ask(const std::string& json) { return request(client_, json); }

  softhsm::TokenDir token_;
  testdaemon::Stopper stopper_;
  testsupport::RawClient client_;
};

TEST_F(DaemonOnSoftHsm, AnswersEveryRequestTypeAsTheReadmeSays) {
  const std::string serial = token_.serial();
  EXPECT_EQ(ask(R"({"type":"GetLibVersion"})"), reply("GetLibVersion", "0", "1.0.220104"));
  EXPECT_EQ(ask(R"({"type":"StartMonitor"})"), reply("StartMonitor", "0", "true"));
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"OpenDevice"})"), reply("OpenDevice", "0", "TRUE"));
  EXPECT_EQ(ask(R"({"type":"GetUserName"})"), reply("GetUserName", "0", serial));
  EXPECT_EQ(ask(R"({"type":"CloseDevice"})"), reply("CloseDevice", "0", ""));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"00000000"})"), reply("VerifyUserPin", "1", "0"));
  EXPECT_EQ(ask(R"({"type":"ChangeUserPin","parm1":"00000000","parm2":"87654321"})"),
            reply("ChangeUserPin", "1", "2"));
  EXPECT_EQ(ask(R"({"type":"ChangeUserPin","parm1":"12345678","parm2":"87654321"})"),
            reply("ChangeUserPin", "0", "-1"));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"87654321"})"), reply("VerifyUserPin", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"UnblockUserPin","parm1":"wrong","parm2":"12345678"})"),
            reply("UnblockUserPin", "1", "2"));
  EXPECT_EQ(ask(R"({"type":"UnblockUserPin","parm1":"admin12345","parm2":"12345678"})"),
            reply("UnblockUserPin", "0", "-1"));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "0", "1"));
  const std::string sha = ask(R"({"type":"ZPSHA1","parm1":"hello, token!!!"})");
  EXPECT_EQ(sha.find(R"("code":"0")"), sha.find(R"("code")")) << sha;
  const std::string crypt = ask(R"({"type":"ZPCrypt","parm4":"0123456789ABCDEF0123456789ABCDEFFEDCBA9876543210"})");
  EXPECT_NE(crypt.find(R"("code":"0", "data":")"), std::string::npos) << crypt;
  EXPECT_EQ(crypt.size(), reply("ZPCrypt", "0", std::string(48, 'x')).size()) << crypt;
}

TEST_F(DaemonOnSoftHsm, ATokenRemovedAndMadeAgainIsSeenWithoutARestart) {
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "0", "1"));
  ASSERT_TRUE(token_.remove());
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "1", "0"));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "1", "0"));
  EXPECT_EQ(ask(R"({"type":"GetUserName"})"), reply("GetUserName", "1", ""));
  ASSERT_TRUE(token_.make());
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"GetUserName"})"), reply("GetUserName", "0", token_.serial()));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "0", "1"));
}

// The token reached through p11-kit's client module from a `p11-kit server` the test starts and
// stops: stopping it is the token unplugged, starting it again the token plugged back in. The client
// writes to the dead server's socket, which raises SIGPIPE in the daemon: it must go on serving.
class DaemonThroughP11KitServer : public DaemonOnSoftHsm {
 protected:
  void beforeDaemon() override {
    socket_ = token_.dir() + "/p11-kit.sock";
    token_.useModule(P11KIT_CLIENT_MODULE);
    setenv("P11_KIT_SERVER_ADDRESS", ("unix:path=" + socket_).c_str(), 1);
    ASSERT_TRUE(startServer());
  }
  void TearDown() override { stopServer(); }

  bool startServer() {
    server_ = fork();
    if (server_ == 0) {
      setpgid(0, 0);  // its group: the server forks a process for each client it serves
      execlp("p11-kit", "p11-kit", "server", "-f", "-n", socket_.c_str(), "--provider", softhsm::kModule,
             "pkcs11:token=tb", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(server_, server_);  // here too, so a stop right after the start finds the group
    for (int i = 0; i < 100; ++i) {
      if (access(socket_.c_str(), F_OK) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void stopServer() {
    if (server_ <= 0) return;
    kill(-server_, SIGKILL);
    waitpid(server_, nullptr, 0);
    server_ = 0;
    unlink(socket_.c_str());
  }

  std::string socket_;
  pid_t server_ = 0;
};

TEST_F(DaemonThroughP11KitServer, ServerStoppedIsNoTokenAndStartedAgainIsTheTokenBack) {
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"OpenDevice"})"), reply("OpenDevice", "0", "TRUE"));  // a session left open
  stopServer();
  EXPECT_EQ(ask(R"({"type":"GetUserName"})"), reply("GetUserName", "1", "0000"));
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "1", "0"));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "1", "0"));
  EXPECT_TRUE(testdaemon::alive(stopper_.pid)) << "the daemon died talking to a stopped server";
  ASSERT_TRUE(startServer());
  EXPECT_EQ(ask(R"({"type":"GetDevState"})"), reply("GetDevState", "0", "1"));
  EXPECT_EQ(ask(R"({"type":"GetUserName"})"), reply("GetUserName", "0", token_.serial()));
  EXPECT_EQ(ask(R"({"type":"VerifyUserPin","parm2":"12345678"})"), reply("VerifyUserPin", "0", "1"));
}

}  // namespace
