// SPDX-License-Identifier: MIT
// Parsing of the load generator's command line.
#include "bench/loadgen_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

const char* const kUsage =
    "usage: bench_loadgen [options]\n"
    "  --host ADDR          server address (127.0.0.1)\n"
    "  --port N             server port (9446)\n"
    "  --connections N      closed-loop connections, or connections to open with --open-only (16)\n"
    "  --duration S         measured seconds (5)\n"
    "  --warmup S           seconds before measuring starts (0.5)\n"
    "  --payload TEXT       request text ({\"type\":\"GetLibVersion\"})\n"
    "  --pad-to BYTES       pad the request to BYTES with a \"pad\" member before its closing brace\n"
    "  --expect TEXT        every reply must be exactly TEXT (counted as an error otherwise)\n"
    "  --depth N            requests in flight per connection (1)\n"
    "  --idle N             extra idle connections held open during the load (0)\n"
    "  --threads N          client threads (1)\n"
    "  --pid PID            server process to read CPU time and memory from\n"
    "  --open-only          open the connections, send one request on each, report server memory\n"
    "  --one-message        send one (padded) message, time its reply, report server peak memory\n"
    "  --churn              load: connect, upgrade, one request, close, over again on each connection\n"
    "  --close-frame        with --churn: send a Close frame (1000), then close without waiting\n"
    "  --label NAME         name printed with the result\n";

}  // namespace

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool hasValue = i + 1 < argc;
    auto value = [&]() { return argv[++i]; };
    if (std::strcmp(arg, "--open-only") == 0) {
      o.mode = Mode::OpenOnly;
    } else if (std::strcmp(arg, "--one-message") == 0) {
      o.mode = Mode::OneMessage;
    } else if (std::strcmp(arg, "--churn") == 0) {
      o.churn = true;
    } else if (std::strcmp(arg, "--close-frame") == 0) {
      o.closeFrame = true;
    } else if (!hasValue) {
      std::fputs(kUsage, stderr);
      return false;
    } else if (std::strcmp(arg, "--host") == 0) {
      o.host = value();
    } else if (std::strcmp(arg, "--port") == 0) {
      o.port = std::atoi(value());
    } else if (std::strcmp(arg, "--connections") == 0) {
      o.connections = std::atoi(value());
    } else if (std::strcmp(arg, "--duration") == 0) {
      o.duration = std::atof(value());
    } else if (std::strcmp(arg, "--warmup") == 0) {
      o.warmup = std::atof(value());
    } else if (std::strcmp(arg, "--payload") == 0) {
      o.payload = value();
    } else if (std::strcmp(arg, "--pad-to") == 0) {
      o.padTo = std::strtoull(value(), nullptr, 10);
    } else if (std::strcmp(arg, "--expect") == 0) {
      o.verify = true;
      o.expect = value();
    } else if (std::strcmp(arg, "--depth") == 0) {
      o.depth = std::atoi(value());
    } else if (std::strcmp(arg, "--idle") == 0) {
      o.idle = std::atoi(value());
    } else if (std::strcmp(arg, "--threads") == 0) {
      o.threads = std::atoi(value());
    } else if (std::strcmp(arg, "--pid") == 0) {
      o.pid = static_cast<pid_t>(std::atoi(value()));
    } else if (std::strcmp(arg, "--label") == 0) {
      o.label = value();
    } else {
      std::fputs(kUsage, stderr);
      return false;
    }
  }
  if (o.connections < 1 || o.depth < 1 || o.idle < 0 || o.threads < 1 || o.duration <= 0 || o.warmup < 0 ||
      o.port <= 0) {
    std::fputs("bench_loadgen: connections, depth, threads, duration and port must be positive\n", stderr);
    return false;
  }
  return true;
}

}  // namespace bench
