// SPDX-License-Identifier: MIT
// One client thread's share of the connections, driven by its own epoll: opening and upgrading
// them, the closed loop (send, wait for the reply, send again), and the one-shot probes.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/histogram.h"

namespace bench {

std::uint64_t nowNs();

// What every connection sends and expects; shared read-only by all workers.
struct Request {
  std::string frames;         // `depth` copies of the masked request frame, back to back
  std::size_t frameLength = 0;
  bool verify = false;
  std::string expect;         // the exact reply payload when verify is set
};

struct WorkerStats {
  std::uint64_t completed = 0;
  std::uint64_t errors = 0;
  Histogram latency;
  std::string firstError;
};

class ClientWorker {
 public:
  ClientWorker(const sockaddr_in& server, const Request& request, int depth);
  ~ClientWorker();
  ClientWorker(const ClientWorker&) = delete;
  ClientWorker& operator=(const ClientWorker&) = delete;

  // Connects and upgrades count more connections, at most 128 handshakes at a time so the
  // server's listen backlog never overflows; idle ones take no part in run().
  bool open(int count, bool idle);

  // The closed loop on the active connections until endNs; statistics restart at measureFromNs.
  void run(std::uint64_t measureFromNs, std::uint64_t endNs);

  // One request on every connection, idle ones included, and every reply checked.
  bool serveOnce(double timeoutSeconds);

  // Sends frame on the first connection and waits for its reply. sendNs: first to last byte
  // written; replyNs: last byte written to reply read.
  bool oneMessage(const std::string& frame, std::uint64_t& sendNs, std::uint64_t& replyNs);

  WorkerStats stats;
  // In run(): each active connection is closed once its reply is in, and its slot connects,
  // upgrades and sends one request anew (a page that opens a WebSocket per call).
  bool churn = false;
  // With churn: each connection sends a Close frame (status 1000) and closes without waiting for
  // the echo, as a page's ws.close() followed by leaving the page.
  bool closeFrame = false;

 private:
  enum class Phase { Connecting, Upgrading, Ready, Dead };
  struct Conn {
    int fd = -1;
    Phase phase = Phase::Connecting;
    bool idle = false;
    bool writeArmed = false;
    std::string acceptExpected;
    std::vector<unsigned char> in;
    std::size_t inLength = 0;
    std::string out;  // what a partial send left behind
    std::vector<std::uint64_t> sentAt;  // ring of send times of the requests in flight
    std::size_t head = 0;
    int inflight = 0;
    bool recycle = false;  // churn: answered, to be closed and opened again
  };

  int connectSocket();
  bool startConnect();
  void reconnect(Conn& c);
  bool onConnected(Conn& c);
  bool onUpgradeBytes(Conn& c);
  void onReadable(Conn& c, bool refill);
  void handleFrame(Conn& c, int opcode, const unsigned char* payload, std::size_t length, bool refill);
  void sendRequests(Conn& c, int count, std::uint64_t now);
  void flushOut(Conn& c);
  void armWrite(Conn& c, bool on);
  void fail(Conn& c, const std::string& why);
  void error(const std::string& why);

  sockaddr_in server_;
  const Request& request_;
  int depth_;
  int epollFd_;
  std::vector<Conn> conns_;
  bool measuring_ = false;
  std::uint64_t lastLatencyNs_ = 0;
  int pendingReplies_ = 0;  // replies still due in serveOnce/oneMessage
};

}  // namespace bench
