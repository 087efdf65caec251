// SPDX-License-Identifier: MIT
// The daemon started as usual with its library slot on the PKCS#11 library over a SoftHSM2 token:
// every request type over the WebSocket, and the token removed and made again while it runs.
#include <gtest/gtest.h>

#include <fstream>
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
    std::ofstream(token_.dir() + "/tokenbridged.conf") << "";
    const auto started = testdaemon::start(
        TOKENBRIDGED, {{"LD_LIBRARY_PATH", PKCS11_LIBRARY_DIR}},
        {"--config", token_.dir() + "/tokenbridged.conf"});
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    stopper_.pid = testdaemon::pidListeningOn(testdaemon::kServicePort);
    ASSERT_NE(stopper_.pid, 0);
    ASSERT_TRUE(client_.open(testdaemon::kServicePort));
  }

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

}  // namespace
