// SPDX-License-Identifier: MIT
// The accept value and the exact 101 text, without sockets.
#include "net/handshake.h"

#include <gtest/gtest.h>

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

}  // namespace
