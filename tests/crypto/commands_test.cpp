// SPDX-License-Identifier: MIT
// "ZPSHA1" and "ZPCrypt" end to end through the dispatcher with software tokens of chosen serial
// numbers. Expected values were computed independently (Python's hashlib and OpenSSL's des-ede-ecb).
#include <gtest/gtest.h>

#include <string>

#include "tests/service/expected_replies.h"
#include "tests/token/soft_token_fixture.h"
#include "token/dev_mgnt.h"

namespace {

using expected::reply;

using CryptoCommands = SoftTokenTest;

TEST_F(CryptoCommands, DigestCoversTheFirstFifteenBytes) {
  struct Case {
    const char* name;
    std::string request;
    std::string data;
  };
  const Case cases[] = {
      {"16 bytes", R"({"type":"ZPSHA1","parm1":"abcdefghijklmnop"})", "2938DCC2E3AA77987C7E5D4A0F26966706D06782"},
      {"same 15 bytes, other tail", R"({"type":"ZPSHA1","parm1":"abcdefghijklmnoXYZ"})",
       "2938DCC2E3AA77987C7E5D4A0F26966706D06782"},
      {"upper case differs", R"({"type":"ZPSHA1","parm1":"ABCDEFGHIJKLMNO"})", "417DE3231E23DCD6D224FF60918024BC6C59AA58"},
      {"14 bytes and the terminator", R"({"type":"ZPSHA1","parm1":"abcdefghijklmn"})",
       "194E0FA75B3635AFC2D3001B12B3E15602E57213"},
      {"short text padded with zero bytes", R"({"type":"ZPSHA1","parm1":"abc"})", "4B8BDF931D7DAF24BAE77338856B96AD7CCEBF94"},
      {"absent text is 15 zero bytes", R"({"type":"ZPSHA1"})", "BBA04F6985F560446C122D235ED2E51BF7C10864"},
      {"escaped NUL ends the text", R"({"type":"ZPSHA1","parm1":"abc\u0000defghijklmnop"})",
       "4B8BDF931D7DAF24BAE77338856B96AD7CCEBF94"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(request(c.request), reply("ZPSHA1", "0", c.data));
    EXPECT_EQ(g_hDev, nullptr);
  }
}

TEST_F(CryptoCommands, DigestNeedsAToken) {
  ASSERT_TRUE(softtoken("unplug"));
  EXPECT_EQ(request(R"({"type":"ZPSHA1","parm1":"abcdefghijklmnop"})"), reply("ZPSHA1", "1", ""));
}

TEST_F(CryptoCommands, SuccessDisconnectsSoTheNextRequestConnectsAgain) {
  const std::string requests[] = {
      R"({"type":"ZPSHA1","parm1":"abcdefghijklmnop"})",
      R"({"type":"ZPCrypt","parm4":"000000000000000000000000000000000000000000000000"})",
  };
  for (const std::string& first : requests) {
    SCOPED_TRACE(first);
    ASSERT_EQ(request(R"({"type":"OpenDevice"})"), reply("OpenDevice", "0", "TRUE"));
    const std::string answer = request(first);
    EXPECT_NE(answer.find(R"("code":"0")"), std::string::npos) << answer;
    EXPECT_EQ(g_hDev, nullptr);
    ::testing::internal::CaptureStdout();
    request(R"({"type":"GetUserName"})");
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("SKF_ConnectDev rv = 0x00000000"), std::string::npos);
    request(R"({"type":"CloseDevice"})");
  }
}

struct CipherCase {
  const char* name;
  const char* serial;
  std::string request;
  std::string data;
};

TEST_F(CryptoCommands, CipherIsKeyedByTheFirstFifteenSerialCharacters) {
  const std::string blocks = "0123456789ABCDEF0123456789ABCDEFFEDCBA9876543210";
  const std::string keyedByAbc = "99F2DDE255502EAC99F2DDE255502EAC26F04F6BE58D9021";
  const std::string keyedByWxyz = "B627AE46B453386BB627AE46B453386B924256D96F0C400D";
  const CipherCase cases[] = {
      {"serial of exactly 15", "ABCDEFGHIJKLMNO", R"({"type":"ZPCrypt","parm4":")" + blocks + "\"}", keyedByAbc},
      {"serial of 20", "ABCDEFGHIJKLMNOpqrst", R"({"type":"ZPCrypt","parm4":")" + blocks + "\"}", keyedByAbc},
      {"serial of 32", "ABCDEFGHIJKLMNOzzzzzzzzzzzzzzzzz", R"({"type":"ZPCrypt","parm4":")" + blocks + "\"}", keyedByAbc},
      {"serial of 4, zero-padded", "WXYZ", R"({"type":"ZPCrypt","parm4":")" + blocks + "\"}", keyedByWxyz},
      {"lower-case hex", "WXYZ", R"({"type":"ZPCrypt","parm4":"0123456789abcdef0123456789abcdeffedcba9876543210"})",
       keyedByWxyz},
      {"integer members have no effect", "WXYZ",
       R"({"type":"ZPCrypt","parm2":-7,"parm3":2147483647,"parm4":")" + blocks + R"(","parm5":true})", keyedByWxyz},
      {"characters after the 48th are ignored", "WXYZ", R"({"type":"ZPCrypt","parm4":")" + blocks + "FFFF\"}",
       keyedByWxyz},
      {"zero blocks", "WXYZ", R"({"type":"ZPCrypt","parm4":"000000000000000000000000000000000000000000000000"})",
       "5BC1FFE0CB83D6EC5BC1FFE0CB83D6EC5BC1FFE0CB83D6EC"},
      // Missing characters count as zero bytes (digit value -48): "" is 24 bytes of 0xD0.
      {"absent text", "WXYZ", R"({"type":"ZPCrypt"})", "3B0CB859DF18B59D3B0CB859DF18B59D3B0CB859DF18B59D"},
      {"one character", "WXYZ", R"({"type":"ZPCrypt","parm4":"F"})", "AF64B014A42ECD0F3B0CB859DF18B59D3B0CB859DF18B59D"},
  };
  for (const CipherCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(softtoken(std::string("init --serial ") + c.serial));
    EXPECT_EQ(request(c.request), reply("ZPCrypt", "0", c.data));
    EXPECT_EQ(g_hDev, nullptr);
  }
}

TEST_F(CryptoCommands, CipherFailures) {
  const std::string cipher = R"({"type":"ZPCrypt","parm4":"000000000000000000000000000000000000000000000000"})";
  ASSERT_TRUE(softtoken("unplug"));
  EXPECT_EQ(request(cipher), reply("ZPCrypt", "1", ""));
  EXPECT_EQ(g_hDev, nullptr);

  // Connected, but the device information is refused: no data, and the connection stays.
  ASSERT_TRUE(softtoken("plug"));
  ASSERT_TRUE(softtoken("fail SKF_GetDevInfo 0x0A000001 --once"));
  EXPECT_EQ(request(cipher), reply("ZPCrypt", "1", ""));
  EXPECT_NE(g_hDev, nullptr);
}

}  // namespace
