// SPDX-License-Identifier: MIT
// ws_request PORT REQUEST...: opens one WebSocket connection to 127.0.0.1:PORT, sends each request
// as a text message and prints the text of its reply on a line. Exits 1 at the first failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/ws_client.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ws_request PORT REQUEST...\n");
    return 2;
  }
  testsupport::RawClient client;
  if (!client.open(static_cast<std::uint16_t>(std::atoi(argv[1])))) {
    std::fprintf(stderr, "ws_request: cannot connect and upgrade on port %s\n", argv[1]);
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    if (!client.send(testsupport::textFrame(argv[i]))) return 1;
    const auto reply = client.readFrame(5000);
    if (!reply || reply->opcode() != 1) {
      std::fprintf(stderr, "ws_request: no text reply to %s\n", argv[i]);
      return 1;
    }
    std::printf("%s\n", reply->payload.c_str());
  }
  return 0;
}
