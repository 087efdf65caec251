// SPDX-License-Identifier: MIT
// The PKCS#11 to SKF result table, the tries policy, the token URI and the settings file.
#include <gtest/gtest.h>

#include "pkcs11/result_map.h"
#include "pkcs11/settings.h"
#include "pkcs11/token_uri.h"

using namespace pkcs11skf;

TEST(Pkcs11Mapping, ResultsBecomeTheSkfCodesTheServiceActsOn) {
  const struct {
    CK_RV ck;
    ULONG sar;
  } cases[] = {
      {CKR_OK, SAR_OK},
      {CKR_PIN_INCORRECT, SAR_PIN_INCORRECT},
      {CKR_PIN_LOCKED, SAR_PIN_LOCKED},
      {CKR_PIN_LEN_RANGE, SAR_PIN_LEN_RANGE},
      {CKR_FUNCTION_NOT_SUPPORTED, SAR_NOTSUPPORTYETERR},  // OpenSC's unblock without its setting
      {CKR_DEVICE_ERROR, SAR_DEVICE_REMOVED},
      {CKR_TOKEN_NOT_PRESENT, SAR_DEVICE_REMOVED},
      {CKR_SESSION_HANDLE_INVALID, SAR_DEVICE_REMOVED},
      {CKR_DEVICE_REMOVED, SAR_DEVICE_REMOVED},
      {CKR_CRYPTOKI_NOT_INITIALIZED, SAR_DEVICE_REMOVED},
      {CKR_GENERAL_ERROR, SAR_FAIL},
      {CKR_VENDOR_DEFINED + 7, SAR_FAIL},  // anything unnamed is a plain failure, never success
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sarFor(c.ck), c.sar) << "CKR 0x" << std::hex << c.ck;
    EXPECT_EQ(meansBackendGone(c.ck), c.sar == SAR_DEVICE_REMOVED) << "CKR 0x" << std::hex << c.ck;
  }
}

TEST(Pkcs11Mapping, TriesComeFromFlagsAndZeroOnlyWithALock) {
  const struct {
    CK_FLAGS flags;
    PinOwner owner;
    ULONG tries;
  } cases[] = {
      {0, PinOwner::user, 2},
      {CKF_USER_PIN_COUNT_LOW, PinOwner::user, 2},
      {CKF_USER_PIN_FINAL_TRY, PinOwner::user, 1},
      {CKF_USER_PIN_LOCKED, PinOwner::user, 0},
      {CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY, PinOwner::user, 0},
      {CKF_SO_PIN_LOCKED | CKF_SO_PIN_FINAL_TRY, PinOwner::user, 2},  // the other PIN's flags
      {CKF_SO_PIN_FINAL_TRY, PinOwner::admin, 1},
      {CKF_SO_PIN_LOCKED, PinOwner::admin, 0},
      {CKF_USER_PIN_LOCKED, PinOwner::admin, 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(triesFromFlags(c.flags, c.owner), c.tries)
        << "flags 0x" << std::hex << c.flags << (c.owner == PinOwner::user ? " user" : " admin");
}

TEST(Pkcs11Mapping, TokenUriChoosesByItsAttributes) {
  const auto uri = parseTokenUri("pkcs11:token=My%20token;serial=42ab?pin-value=1");
  ASSERT_TRUE(uri);
  EXPECT_TRUE(tokenMatches(*uri, "42ab", "My token", "any", "any"));
  EXPECT_FALSE(tokenMatches(*uri, "42ac", "My token", "any", "any"));
  EXPECT_FALSE(tokenMatches(*uri, "42ab", "My", "any", "any"));
  EXPECT_TRUE(tokenMatches(*parseTokenUri("pkcs11:"), "x", "y", "z", "w"));
  for (const char* bad : {"pkcs12:serial=1", "serial=1", "pkcs11:serial", "pkcs11:token=a%2", "pkcs11:token=%zz"})
    EXPECT_FALSE(parseTokenUri(bad)) << bad;
  const unsigned char padded[8] = {'A', 'B', ' ', 'C', ' ', ' ', ' ', ' '};
  EXPECT_EQ(trimPadded(padded, sizeof padded), "AB C");
}

TEST(Pkcs11Mapping, SettingsFileAndItsErrorsNamingFileAndLine) {
  const Settings good = parseSettings(
      "# comment\n\nmodule = /lib/m.so  # trailing\ntoken = pkcs11:serial=7\n"
      "device-name = Dev 2\napplication = APP\n",
      "f.conf");
  EXPECT_EQ(good.error, "");
  EXPECT_EQ(good.module, "/lib/m.so");
  EXPECT_EQ(good.tokenUri, "pkcs11:serial=7");
  EXPECT_EQ(good.deviceName, "Dev 2");
  EXPECT_EQ(good.application, "APP");
  EXPECT_EQ(parseSettings("", "f.conf").deviceName, "KV5100RT VCR 1");

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"module = a\nmodules = b\n", "f.conf:2: unknown key 'modules'"},
      {"\n\ntoken = serial=1\n", "f.conf:3: not a pkcs11: token URI: 'serial=1'"},
      {"module\n", "f.conf:1: expected 'key = value'"},
      {"application =\n", "f.conf:1: empty value for 'application'"},
  };
  for (const auto& c : bad) EXPECT_EQ(parseSettings(c.text, "f.conf").error, c.error) << c.text;
}
