// SPDX-License-Identifier: MIT
// Command-line options of the load generator and their defaults.
#pragma once

#include <string>
#include <sys/types.h>

namespace bench {

enum class Mode { Load, OpenOnly, OneMessage };

struct Options {
  Mode mode = Mode::Load;
  std::string host = "127.0.0.1";
  int port = 9446;
  int connections = 16;       // closed-loop connections (load), or connections to open (open-only)
  double duration = 5.0;      // measured seconds (load)
  double warmup = 0.5;        // seconds run before measuring (load)
  std::string payload = "{\"type\":\"GetLibVersion\"}";
  std::size_t padTo = 0;      // grow the request to this many bytes with a "pad" member (0: as is)
  bool verify = false;        // compare every reply with expect
  std::string expect;
  int depth = 1;              // requests in flight per connection
  int idle = 0;               // extra connections opened and left idle during the load
  int threads = 1;            // client threads (the connections are split between them)
  pid_t pid = 0;              // server process whose CPU time and memory are read (0: none)
  std::string label = "run";
  bool churn = false;
  bool closeFrame = false;    // churn: a Close frame before the socket's close, as ws.close() sends         // load: each connection is closed after its reply and a new one opened
};

// Fills options from argv; prints usage and returns false on a bad argument.
bool parseOptions(int argc, char** argv, Options& options);

}  // namespace bench
