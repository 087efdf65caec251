// SPDX-License-Identifier: MIT
// bench_burst: how long one connection's burst can keep another connection's request waiting.
// Connection A writes N requests in one write and reads its replies on a thread of its own;
// meanwhile connection B sends one request at a time and waits for each reply. Prints B's
// latencies while A's burst is served, and how long the burst took, as key=value figures.
//   bench_burst [--port P] [--messages N] [--rounds R] [--payload TEXT]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/ws_wire.h"

namespace {

std::uint64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bench_burst: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

// A blocking, upgraded client connection that reads whole frames.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string key = bench::randomKey();
    sendAll(bench::upgradeRequest(key));
    while (buffered_.find("\r\n\r\n") == std::string::npos) receive();
    if (buffered_.find(bench::acceptKey(key)) == std::string::npos) {
      errno = EPROTO;
      fail("upgrade refused");
    }
    buffered_.erase(0, buffered_.find("\r\n\r\n") + 4);
  }
  ~Client() { ::close(fd_); }

  void sendAll(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) fail("send");
      sent += static_cast<std::size_t>(n);
    }
  }
  // Reads until one whole frame is buffered and drops it.
  void readFrame() {
    bench::FrameHeader header;
    for (;;) {
      const auto* data = reinterpret_cast<const unsigned char*>(buffered_.data());
      if (bench::parseFrameHeader(data, buffered_.size(), header) &&
          buffered_.size() >= header.headerLength + header.payloadLength) {
        buffered_.erase(0, header.headerLength + header.payloadLength);
        return;
      }
      receive();
    }
  }

 private:
  void receive() {
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      if (n == 0) errno = ECONNRESET;
      fail("recv");
    }
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
  int fd_ = -1;
  std::string buffered_;
};

double ms(std::uint64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  int port = 9446;
  int messages = 20000;
  int rounds = 10;
  std::string payload = "{\"type\":\"GetLibVersion\"}";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--port") port = std::atoi(argv[i + 1]);
    else if (name == "--messages") messages = std::atoi(argv[i + 1]);
    else if (name == "--rounds") rounds = std::atoi(argv[i + 1]);
    else if (name == "--payload") payload = argv[i + 1];
    else {
      std::fprintf(stderr, "usage: bench_burst [--port P] [--messages N] [--rounds R] [--payload TEXT]\n");
      return 2;
    }
  }
  std::string burst;
  for (int i = 0; i < messages; ++i) burst += bench::textFrame(payload, true, 0x1234567u + i);
  const std::string single = bench::textFrame(payload, true, 0x89abcdefu);

  std::vector<std::uint64_t> waits;  // B's round trips while a burst was being served
  std::vector<std::uint64_t> burstTimes;
  Client a(port);
  Client b(port);
  for (int round = 0; round < rounds; ++round) {
    std::atomic<bool> burstDone{false};
    const std::uint64_t start = nowNs();
    std::thread reader([&] {
      for (int i = 0; i < messages; ++i) a.readFrame();
      burstTimes.push_back(nowNs() - start);
      burstDone = true;
    });
    std::thread writer([&] { a.sendAll(burst); });
    while (!burstDone) {
      const std::uint64_t sent = nowNs();
      b.sendAll(single);
      b.readFrame();
      waits.push_back(nowNs() - sent);
    }
    writer.join();
    reader.join();
  }
  std::sort(waits.begin(), waits.end());
  std::sort(burstTimes.begin(), burstTimes.end());
  const auto at = [&](double q) { return waits[static_cast<std::size_t>(q * static_cast<double>(waits.size() - 1))]; };
  std::printf("burst=%d rounds=%d burst_ms_p50=%.1f other_requests=%zu other_ms_p50=%.3f other_ms_p99=%.3f "
              "other_ms_max=%.3f\n",
              messages, rounds, ms(burstTimes[burstTimes.size() / 2]), waits.size(), ms(at(0.5)), ms(at(0.99)),
              ms(waits.back()));
  return 0;
}
