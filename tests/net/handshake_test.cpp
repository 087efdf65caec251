// SPDX-License-Identifier: MIT
// The accept value and the exact 101 text, without sockets.
#include "net/handshake.h"

#include <gtest/gtest.h>
#include <mbedtls/base64.h>
#include <mbedtls/sha1.h>

#include <string>

namespace {

TEST(Handshake, Response) {
  struct Case {
    const char* name;
    std::string key;
    std::string protocol;
    std::string expected;
  };
  const Case cases[] = {
      {"RFC 6455 example, 129 bytes", "dGhlIHNhbXBsZSBub25jZQ==", "",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"},
      {"with a protocol", "dGhlIHNhbXBsZSBub25jZQ==", "chat, superchat",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Protocol: chat, superchat\r\n"
       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"},
      // The key is not validated; any text is hashed as it is.
      {"key that is not base64", "x", "",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Accept: JVxkmtKFjDcI/Pm/AGPEKSN6wT8=\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "kept|";
    net::appendHandshakeResponse(out, c.key, c.protocol);
    EXPECT_EQ(out, "kept|" + c.expected);
  }
  EXPECT_EQ(cases[0].expected.size(), 129u);
}

// The accept value against one computed with Mbed TLS's own SHA-1 and base64, for keys whose
// digests cover every value of every base64 position many times over.
TEST(Handshake, AcceptValueMatchesReference) {
  for (int i = 0; i < 2000; ++i) {
    const std::string key = "key-" + std::to_string(i * 7919);
    const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[20];
    mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    unsigned char text[32];
    std::size_t written = 0;
    ASSERT_EQ(mbedtls_base64_encode(text, sizeof text, &written, digest, sizeof digest), 0);
    ASSERT_EQ(net::acceptValue(key), std::string(reinterpret_cast<const char*>(text), written)) << key;
  }
}

}  // namespace
