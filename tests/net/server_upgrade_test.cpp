// SPDX-License-Identifier: MIT
// The HTTP side over real sockets: the 101 byte for byte, requests that stay unanswered, and heads
// that are closed without a reply.
#include <gtest/gtest.h>

#include <string>

#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using testsupport::kSampleAccept;
using testsupport::kSampleKey;
using testsupport::RawClient;

const std::string kResponse =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

const std::string kResponseWithProtocol =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Protocol: chat, superchat\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

class Upgrade : public ::testing::Test {
 protected:
  RawClient connect() {
    RawClient client;
    EXPECT_TRUE(client.connect(server_.port()));
    return client;
  }
  // After the expected bytes: nothing more, and the connection still serves messages.
  void expectUpgraded(RawClient& client) {
    const auto extra = client.drain(100);
    EXPECT_EQ(extra.bytes, "");
    EXPECT_FALSE(extra.closed);
    ASSERT_TRUE(client.send(testsupport::textFrame("after")));
    EXPECT_EQ(client.readExactly(7, 2000).value_or(""), nettest::echoed("after"));
  }

  testsupport::ServerThread server_{nettest::echoHandler};
};

TEST_F(Upgrade, ResponseByteForByte) {
  const std::string key(kSampleKey);
  struct Case {
    const char* name;
    std::string request;
    std::string response;
  };
  const Case cases[] = {
      {"RFC 6455 example", RawClient::upgradeRequest(), kResponse},
      {"protocol copied back, trimmed", RawClient::upgradeRequest("/", "Sec-WebSocket-Protocol: chat, superchat  \r\n"),
       kResponseWithProtocol},
      {"any path", RawClient::upgradeRequest("/some/where?x=1#y"), kResponse},
      {"POST, HTTP/1.0, no Upgrade or Version",
       "POST /x HTTP/1.0\r\nSec-WebSocket-Key: " + key + "\r\n\r\n", kResponse},
      {"odd Upgrade and Version", "GET / HTTP/1.1\r\nUpgrade: h2c\r\nSec-WebSocket-Version: 8\r\nOrigin: http://evil\r\n"
       "sec-websocket-key: " + key + "\r\n\r\n", kResponse},
      {"bare LF lines, leading blank line", "\nGET / HTTP/1.1\nSec-WebSocket-Key: " + key + "\n\n", kResponse},
  };
  EXPECT_EQ(kResponse.size(), 129u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client = connect();
    ASSERT_TRUE(client.send(c.request));
    EXPECT_EQ(client.readExactly(c.response.size(), 2000).value_or("(timeout)"), c.response);
    expectUpgraded(client);
  }
}

// Frames sent in the same write as the head are answered at once.
TEST_F(Upgrade, FramesWithTheHead) {
  RawClient client = connect();
  ASSERT_TRUE(client.send(RawClient::upgradeRequest() + testsupport::textFrame("hi") + testsupport::textFrame("yo")));
  EXPECT_EQ(client.readExactly(kResponse.size() + 8, 2000).value_or(""),
            kResponse + nettest::echoed("hi") + nettest::echoed("yo"));
}

TEST_F(Upgrade, PlainRequestGetsNothingAndStaysOpen) {
  RawClient client = connect();
  ASSERT_TRUE(client.send("GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto quiet = client.drain(2000);
  EXPECT_EQ(quiet.bytes, "");
  EXPECT_FALSE(quiet.closed);
  ASSERT_TRUE(client.send(RawClient::upgradeRequest()));
  EXPECT_EQ(client.readExactly(kResponse.size(), 2000).value_or(""), kResponse);
  expectUpgraded(client);
}

// The body is skipped by its Content-Length: a body that looks like an upgrade is not one.
TEST_F(Upgrade, BodyConsumedByContentLength) {
  const std::string body = RawClient::upgradeRequest();
  RawClient client = connect();
  ASSERT_TRUE(client.send("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
  ASSERT_TRUE(client.send(body.substr(0, 10)));  // split, so the skip spans reads
  EXPECT_EQ(client.drain(100).bytes, "");
  ASSERT_TRUE(client.send(body.substr(10)));
  const auto quiet = client.drain(300);
  EXPECT_EQ(quiet.bytes, "");
  EXPECT_FALSE(quiet.closed);
  ASSERT_TRUE(client.send(RawClient::upgradeRequest()));
  EXPECT_EQ(client.readExactly(kResponse.size(), 2000).value_or(""), kResponse);
}

TEST_F(Upgrade, ClosedWithoutReply) {
  // 19 bytes of request line and header name, the padding, and a CR LF: 8192 bytes, no empty line.
  const std::string pad(8192 - 21, 'a');
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"head unterminated at 8192 bytes", "GET / HTTP/1.1\r\nX: " + pad + "\r\n"},
      {"TAB in a header", "GET / HTTP/1.1\r\nSec-WebSocket-Key:\t" + std::string(kSampleKey) + "\r\n\r\n"},
      {"NUL in the request line", std::string("GET /\0 HTTP/1.1\r\n", 17)},
      {"DEL before the end", "GET / HTTP/1.1\r\nHost: \x7F"},
      {"not HTTP", "HELLO\r\n\r\n"},
      {"method only", "GET\r\nSec-WebSocket-Key: k\r\n\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RawClient client = connect();
    ASSERT_TRUE(client.send(row.bytes));
    const auto result = client.drain(2000);
    EXPECT_EQ(result.bytes, "");
    EXPECT_TRUE(result.closed);
  }
}

TEST_F(Upgrade, KeyOnlyWithinFirst39Headers) {
  for (int before : {38, 39}) {
    SCOPED_TRACE(before);
    std::string filler;
    for (int i = 0; i < before; ++i) filler += "X-Filler-" + std::to_string(i) + ": v\r\n";
    RawClient client = connect();
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\n" + filler + "Sec-WebSocket-Key: " + std::string(kSampleKey) + "\r\n\r\n"));
    if (before == 38) {
      EXPECT_EQ(client.readExactly(kResponse.size(), 2000).value_or(""), kResponse);
    } else {
      const auto quiet = client.drain(500);
      EXPECT_EQ(quiet.bytes, "");
      EXPECT_FALSE(quiet.closed);
    }
  }
}

}  // namespace
