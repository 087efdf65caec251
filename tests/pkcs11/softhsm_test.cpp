// SPDX-License-Identifier: MIT
// The ten SKF functions over SoftHSM2: a token made with softhsm2-util in a temporary directory, the
// library pointed at it through its settings file. SoftHSM2 always lists one spare, uninitialised
// slot, never counts wrong PINs and only shows tokens made or deleted after the module started once
// it is initialised again, which is what the removal case checks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/pkcs11/softhsm_token.h"
#include "token/skf.h"

namespace {

const std::string kDevice = "KV5100RT VCR 1";

class SoftHsm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    token_ = new softhsm::TokenDir;
    std::string out;
    if (!token_->dir().empty()) {
      ASSERT_TRUE(token_->make(&out)) << out;
    }
  }
  static void TearDownTestSuite() { delete token_; }
  void SetUp() override {
    if (token_->dir().empty()) GTEST_SKIP() << "softhsm2 is not installed";
  }

  static std::string deviceList() {
    ULONG size = 0;
    EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    std::string list(size + 1, 'x');  // room for one more than asked: size 0 must fill nothing
    EXPECT_EQ(SKF_EnumDev(1, list.data(), &size), SAR_OK);
    return list.substr(0, size);
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

  static inline softhsm::TokenDir* token_ = nullptr;
  DEVHANDLE dev_ = nullptr;
  HAPPLICATION app_ = nullptr;
};

TEST_F(SoftHsm, ListsOneDeviceAndReportsTheInitialisedTokensSerialNotTheSpareSlot) {
  EXPECT_EQ(deviceList(), kDevice + std::string(2, '\0'));
  open();
  DEVINFO info{};
  ASSERT_EQ(SKF_GetDevInfo(dev_, &info), SAR_OK);
  const std::string serial(info.SerialNumber, strnlen(info.SerialNumber, sizeof info.SerialNumber));
  EXPECT_EQ(serial, token_->serial());
  EXPECT_EQ(serial.find(' '), std::string::npos) << "blank padding left in '" << serial << "'";
  close();
  DEVHANDLE other = nullptr;
  // No device of that name: refused as the software token refuses it.
  EXPECT_EQ(SKF_ConnectDev(const_cast<char*>("KV5100RT VCR 2"), &other), SAR_INVALIDPARAMERR);
}

TEST_F(SoftHsm, HandlesOfTheWrongKindClosedHandlesAndNullPinsAreRefused) {
  open();
  char apps[64] = {};
  ULONG size = sizeof apps;
  DEVINFO info{};
  HAPPLICATION opened = nullptr;
  ULONG tries = 99;
  // An application handle where a device is expected, and the other way round: refused, not read.
  EXPECT_EQ(SKF_EnumApplication(app_, apps, &size), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_GetDevInfo(app_, &info), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_OpenApplication(app_, apps, &opened), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_DisConnectDev(app_), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_VerifyPIN(dev_, USER_TYPE, const_cast<char*>("12345678"), &tries), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_CloseApplication(dev_), SAR_INVALIDHANDLEERR);
  // A missing PIN is a caller's mistake, never an empty PIN sent to the module.
  EXPECT_EQ(SKF_VerifyPIN(app_, USER_TYPE, nullptr, &tries), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_ChangePIN(app_, USER_TYPE, nullptr, const_cast<char*>("87654321"), &tries), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_ChangePIN(app_, USER_TYPE, const_cast<char*>("12345678"), nullptr, &tries), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_UnblockPIN(app_, nullptr, const_cast<char*>("12345678"), &tries), SAR_INVALIDPARAMERR);
  EXPECT_EQ(SKF_UnblockPIN(app_, const_cast<char*>("admin12345"), nullptr, &tries), SAR_INVALIDPARAMERR);
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  close();
  // Closed handles: no longer handles at all.
  EXPECT_EQ(SKF_GetDevInfo(dev_, &info), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_OpenApplication(dev_, apps, &opened), SAR_INVALIDHANDLEERR);
  EXPECT_EQ(SKF_EnumApplication(dev_, apps, &size), SAR_INVALIDHANDLEERR);
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
  ASSERT_TRUE(token_->remove());
  EXPECT_EQ(deviceList(), "");
  ULONG tries = 99;
  EXPECT_EQ(verify("12345678", &tries), SAR_DEVICE_REMOVED);
  close();
  DEVHANDLE none = nullptr;
  EXPECT_EQ(SKF_ConnectDev(const_cast<char*>(kDevice.c_str()), &none), SAR_DEVICE_REMOVED);
  ASSERT_TRUE(token_->make());
  EXPECT_EQ(deviceList(), kDevice + std::string(2, '\0'));
  open();
  EXPECT_EQ(verify("12345678", &tries), SAR_OK);
  close();
}

}  // namespace
