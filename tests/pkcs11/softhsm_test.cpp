// SPDX-License-Identifier: MIT
// The ten SKF functions over SoftHSM2: a token made with softhsm2-util in a temporary directory, the
// library pointed at it through its settings file. SoftHSM2 always lists one spare, uninitialised
// slot, never counts wrong PINs and only shows tokens made or deleted after the module started once
// it is initialised again, which is what the removal case checks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "token/skf.h"

namespace {

const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
const std::string kDevice = "KV5100RT VCR 1";

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[256];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  if (pipe != nullptr) pclose(pipe);
  return out;
}

class SoftHsm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists(kModule)) return;
    char pattern[] = "/tmp/pkcs11-softhsm.XXXXXX";
    dir_ = mkdtemp(pattern);
    std::filesystem::create_directory(dir_ + "/tokens");
    std::ofstream(dir_ + "/softhsm2.conf") << "directories.tokendir = " << dir_ << "/tokens\nobjectstore.backend = file\n";
    std::ofstream(dir_ + "/pkcs11.conf") << "module = " << kModule << "\n";
    setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);
    setenv("TOKENBRIDGE_PKCS11_CONF", (dir_ + "/pkcs11.conf").c_str(), 1);
    makeToken();
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  void SetUp() override {
    if (dir_.empty()) GTEST_SKIP() << "softhsm2 is not installed";
  }

  static void makeToken() {
    const std::string out = run("softhsm2-util --init-token --free --label tb --pin 12345678 --so-pin admin12345");
    ASSERT_NE(out.find("has been initialized"), std::string::npos) << out;
  }
  // The serial softhsm2-util shows for the initialised token.
  static std::string shownSerial() {
    const std::string out = run("softhsm2-util --show-slots");
    const auto label = out.find("Label:            tb");
    const auto at = out.rfind("Serial number:", label);
    if (label == std::string::npos || at == std::string::npos) return "?";
    const auto start = out.find_first_not_of(' ', at + 14);
    return out.substr(start, out.find('\n', start) - start);
  }

  static std::string deviceList() {
    ULONG size = 0;
    EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    std::string list(size, 'x');
    EXPECT_EQ(SKF_EnumDev(1, list.data(), &size), SAR_OK);
    return list;
  }

  // Connects and opens the one application, as the service does for a PIN request.
  void open() {
    ASSERT_EQ(SKF_ConnectDev(const_cast<char*>(kDevice.c_str()), &dev_), SAR_OK);
    char apps[64] = {};
    ULONG size = sizeof apps;
    ASSERT_EQ(SKF_EnumApplication(dev_, apps, &size), SAR_OK);
    ASSERT_EQ(SKF_OpenApplication(dev_, apps, &app_), SAR_OK);
  }
  void close() {
    EXPECT_EQ(SKF_CloseApplication(app_), SAR_OK);
    EXPECT_EQ(SKF_DisConnectDev(dev_), SAR_OK);
  }
  ULONG verify(const char* pin, ULONG* tries) {
    return SKF_VerifyPIN(app_, USER_TYPE, const_cast<char*>(pin), tries);
  }

  static inline std::string dir_;
  DEVHANDLE dev_ = nullptr;
  HAPPLICATION app_ = nullptr;
};

TEST_F(SoftHsm, ListsOneDeviceAndReportsTheInitialisedTokensSerialNotTheSpareSlot) {
  EXPECT_EQ(deviceList(), kDevice + std::string(2, '\0'));
  open();
  DEVINFO info{};
  ASSERT_EQ(SKF_GetDevInfo(dev_, &info), SAR_OK);
  const std::string serial(info.SerialNumber, strnlen(info.SerialNumber, sizeof info.SerialNumber));
  EXPECT_EQ(serial, shownSerial());
  EXPECT_EQ(serial.find(' '), std::string::npos) << "blank padding left in '" << serial << "'";
  close();
  DEVHANDLE other = nullptr;
  EXPECT_EQ(SKF_ConnectDev(const_cast<char*>("KV5100RT VCR 2"), &other), SAR_DEVICE_REMOVED);
}

TEST_F(SoftHsm, PinsVerifiedChangedAndUnblockedWithTheAdministratorPin) {
  open();
  ULONG tries = 99;
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  EXPECT_EQ(verify("00000000", &tries), SAR_PIN_INCORRECT);
  EXPECT_EQ(tries, 2u) << "SoftHSM2 sets no lock flag: at least two, never 0";
  // Refused old PIN; then a new PIN shorter than the module allows (4), which leaves the PIN as it was.
  EXPECT_EQ(SKF_ChangePIN(app_, USER_TYPE, const_cast<char*>("99999999"), const_cast<char*>("87654321"), &tries),
            SAR_PIN_INCORRECT);
  EXPECT_EQ(SKF_ChangePIN(app_, USER_TYPE, const_cast<char*>("12345678"), const_cast<char*>("123"), &tries),
            SAR_PIN_LEN_RANGE);
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  EXPECT_EQ(SKF_ChangePIN(app_, USER_TYPE, const_cast<char*>("12345678"), const_cast<char*>("87654321"), &tries),
            SAR_OK);
  EXPECT_EQ(verify("12345678", &tries), SAR_PIN_INCORRECT);
  EXPECT_EQ(verify("87654321", &tries), SAR_OK);
  EXPECT_EQ(SKF_UnblockPIN(app_, const_cast<char*>("wrong-admin"), const_cast<char*>("11112222"), &tries),
            SAR_PIN_INCORRECT);
  EXPECT_EQ(tries, 2u);
  EXPECT_EQ(SKF_UnblockPIN(app_, const_cast<char*>("admin12345"), const_cast<char*>("12345678"), &tries), SAR_OK);
  EXPECT_EQ(verify("87654321", &tries), SAR_PIN_INCORRECT);
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  close();
}

TEST_F(SoftHsm, AForkedChildInitialisesTheModuleAgain) {
  EXPECT_EQ(deviceList(), kDevice + std::string(2, '\0'));
  const pid_t child = fork();
  if (child == 0) {
    ULONG size = 0;
    _exit(SKF_EnumDev(1, nullptr, &size) == SAR_OK && size == kDevice.size() + 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(SoftHsm, ADeletedTokenIsGoneAndAMadeOneIsFoundWithoutRestarting) {
  open();
  ASSERT_NE(run("softhsm2-util --delete-token --token tb").find("has been deleted"), std::string::npos);
  EXPECT_EQ(deviceList(), std::string(1, '\0'));
  ULONG tries = 99;
  EXPECT_EQ(verify("12345678", &tries), SAR_DEVICE_REMOVED);
  close();
  DEVHANDLE none = nullptr;
  EXPECT_EQ(SKF_ConnectDev(const_cast<char*>(kDevice.c_str()), &none), SAR_DEVICE_REMOVED);
  makeToken();
  EXPECT_EQ(deviceList(), kDevice + std::string(2, '\0'));
  open();
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  close();
}

}  // namespace
