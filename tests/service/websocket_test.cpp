// SPDX-License-Identifier: MIT
// The dispatcher behind a real WebSocket endpoint on loopback: exact reply frames, ordering, binary
// messages, and the JSON corpus sent message by message on one connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "service/dispatcher.h"
#include "tests/service/expected_replies.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using testsupport::RawClient;

using expected::kUnknownEmpty;
using expected::kUnparsable;
using expected::kVersionReply;

// An unmasked text frame as the service sends it.
std::string textFrameBytes(const std::string& payload) {
  std::string bytes(1, '\x81');
  if (payload.size() < 126) {
    bytes += static_cast<char>(payload.size());
  } else {
    bytes += '\x7E';
    bytes += static_cast<char>(payload.size() >> 8);
    bytes += static_cast<char>(payload.size() & 0xFF);
  }
  return bytes + payload;
}

class ServiceOverWebSocket : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("SOFTTOKEN_STATE", "/nonexistent/tokenbridge-test/state.json", 1); }
  void SetUp() override { ASSERT_TRUE(client_.open(server_.port())); }

  testsupport::ServerThread server_{ev_handler};
  RawClient client_;
};

TEST_F(ServiceOverWebSocket, RepliesAreExactTextFrames) {
  struct Case {
    const char* name;
    std::string message;
    std::string reply;
  };
  const Case cases[] = {
      {"version", R"({"type":"GetLibVersion"})", kVersionReply},
      {"monitor", R"({"type":"StartMonitor"})", R"({"type":"StartMonitor", "code":"0", "data":"true"})"},
      {"empty", "", kUnparsable},
      {"blanks", "   ", kUnparsable},
      {"unclosed object", R"({"type":"GetLibVersion")", kUnparsable},
      {"unknown type", R"({"type":"Foo"})", R"({"type":"Foo", "code":"-1", "data":"-1097"})"},
      {"empty object", "{}", kUnknownEmpty},
      {"null", "null", kUnknownEmpty},
      {"type null", R"({"type":null})", kUnknownEmpty},
      {"type empty", R"({"type":""})", kUnknownEmpty},
      {"type true", R"({"type":true})", R"({"type":"true", "code":"-1", "data":"-1097"})"},
      {"exact match only", R"({"type":"getLibVersion"})", R"({"type":"getLibVersion", "code":"-1", "data":"-1097"})"},
      {"trailing text", R"({"type":"GetLibVersion"}{"type":"Foo"})", kVersionReply},
      {"comments", "/* a */{\"type\"://b\n\"GetLibVersion\"}", kVersionReply},
      {"duplicate keys", R"({"type":"Foo","type":"GetLibVersion"})", kVersionReply},
      {"NUL cut", std::string("{\"type\":\"GetLibVersion\"}\0{", 26), kVersionReply},
      {"long echoed type is shortened to fit", R"({"type":")" + std::string(3000, 'x') + "\"}",
       R"({"type":")" + std::string(983, 'x') + R"(", "code":"-1", "data":"-1097"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client_.send(testsupport::textFrame(c.message)));
    const std::string expected = textFrameBytes(c.reply);
    EXPECT_EQ(client_.readExactly(expected.size(), 2000).value_or("<nothing>"), expected);
  }
}

TEST_F(ServiceOverWebSocket, BinaryMessageIsAnsweredWithATextFrame) {
  ASSERT_TRUE(client_.send(testsupport::frame(2, R"({"type":"GetLibVersion"})")));
  const auto reply = client_.readFrame(2000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->first, 0x81);
  EXPECT_EQ(reply->payload, kVersionReply);
}

TEST_F(ServiceOverWebSocket, QuickRequestsAreAnsweredInOrder) {
  ASSERT_TRUE(client_.send(testsupport::textFrame(R"({"type":"Foo"})") +
                           testsupport::textFrame(R"({"type":"GetLibVersion"})") +
                           testsupport::textFrame(R"({"type":"StartMonitor"})")));
  const std::string expected[] = {R"({"type":"Foo", "code":"-1", "data":"-1097"})", kVersionReply,
                                  R"({"type":"StartMonitor", "code":"0", "data":"true"})"};
  for (const std::string& reply : expected) {
    const auto frame = client_.readFrame(2000);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->payload, reply);
  }
}

TEST_F(ServiceOverWebSocket, DeepArrayGetsOneUnparsableReply) {
  std::string message(100000, '[');
  message += std::string(100000, ']');
  ASSERT_TRUE(client_.send(testsupport::textFrame(message) + testsupport::textFrame(R"({"type":"GetLibVersion"})")));
  for (const std::string& reply : {kUnparsable, kVersionReply}) {
    const auto frame = client_.readFrame(5000);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->payload, reply);
  }
}

// Every file of the corpus as one message: exactly one well-formed reply each (the version probe
// after it must be the very next frame), and the connection keeps serving.
TEST_F(ServiceOverWebSocket, JsonCorpusGetsOneReplyPerMessage) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(JSON_CORPUS_DIR)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 300u) << "corpus not found at " << JSON_CORPUS_DIR;

  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    std::ifstream in(file, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(client_.send(testsupport::textFrame(content) + testsupport::textFrame(R"({"type":"GetLibVersion"})")));
    const auto reply = client_.readFrame(5000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->first, 0x81);
    EXPECT_EQ(reply->payload.rfind("{\"type\":\"", 0), 0u) << reply->payload;
    EXPECT_NE(reply->payload.find("\", \"code\":\""), std::string::npos) << reply->payload;
    const auto probe = client_.readFrame(5000);
    ASSERT_TRUE(probe.has_value());
    ASSERT_EQ(probe->payload, kVersionReply);
  }
}

}  // namespace
