// SPDX-License-Identifier: MIT
// bench_loadgen: closed-loop WebSocket load against one server, or one of two probes (open many
// idle connections; send one large message). Prints one line of key=value figures, reading the
// server's CPU time and memory from /proc, and exits non-zero when anything went wrong.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "bench/client_worker.h"
#include "bench/loadgen_options.h"
#include "bench/proc_stats.h"
#include "bench/ws_wire.h"

namespace {

using bench::ClientWorker;
using bench::Options;

void sleepUntil(std::uint64_t ns) {
  const timespec at{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
  }
}

void raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The request text grown to padTo bytes by a "pad" member placed before its closing brace.
std::string paddedPayload(const Options& o) {
  std::string text = o.payload;
  const std::size_t brace = text.rfind('}');
  const std::string member = ",\"pad\":\"\"";
  if (o.padTo == 0 || brace == std::string::npos || o.padTo < text.size() + member.size()) return text;
  std::string pad = ",\"pad\":\"" + std::string(o.padTo - text.size() - member.size(), 'x') + "\"";
  text.insert(brace, pad);
  return text;
}

double us(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

int reportErrors(const std::vector<std::unique_ptr<ClientWorker>>& workers) {
  int failed = 0;
  for (const auto& w : workers) {
    if (w->stats.errors == 0) continue;
    std::fprintf(stderr, "bench_loadgen: %llu errors, first: %s\n", static_cast<unsigned long long>(w->stats.errors),
                 w->stats.firstError.c_str());
    failed = 1;
  }
  return failed;
}

int runLoad(const Options& o, const sockaddr_in& server, const bench::Request& request) {
  std::vector<std::unique_ptr<ClientWorker>> workers;
  for (int t = 0; t < o.threads; ++t) {
    workers.push_back(std::make_unique<ClientWorker>(server, request, o.depth));
    workers.back()->churn = o.churn;
    workers.back()->closeFrame = o.closeFrame;
    const int active = o.connections / o.threads + (t < o.connections % o.threads ? 1 : 0);
    const int idle = o.idle / o.threads + (t < o.idle % o.threads ? 1 : 0);
    if ((active > 0 && !workers.back()->open(active, false)) || (idle > 0 && !workers.back()->open(idle, true))) {
      return reportErrors(workers) | 1;
    }
  }
  const std::uint64_t start = bench::nowNs() + 1000000;
  const std::uint64_t measureFrom = start + static_cast<std::uint64_t>(o.warmup * 1e9);
  const std::uint64_t end = measureFrom + static_cast<std::uint64_t>(o.duration * 1e9);
  std::vector<std::thread> threads;
  for (auto& w : workers) {
    threads.emplace_back([&w, measureFrom, end, start]() {
      sleepUntil(start);
      w->run(measureFrom, end);
    });
  }
  sleepUntil(measureFrom);
  const std::int64_t serverCpu0 = o.pid > 0 ? bench::processCpuNanos(o.pid) : -1;
  const std::int64_t clientCpu0 = bench::selfCpuNanos();
  sleepUntil(end);
  const std::int64_t serverCpu1 = o.pid > 0 ? bench::processCpuNanos(o.pid) : -1;
  const std::int64_t clientCpu1 = bench::selfCpuNanos();
  for (auto& t : threads) t.join();

  bench::Histogram latency;
  std::uint64_t completed = 0, errors = 0;
  for (const auto& w : workers) {
    latency.merge(w->stats.latency);
    completed += w->stats.completed;
    errors += w->stats.errors;
  }
  const double seconds = o.duration;
  const double perRequest = completed > 0 ? 1.0 / static_cast<double>(completed) : 0.0;
  const double serverCpu = serverCpu0 >= 0 && serverCpu1 >= 0 ? static_cast<double>(serverCpu1 - serverCpu0) : -1e9;
  const double clientCpu = static_cast<double>(clientCpu1 - clientCpu0);
  std::printf(
      "result label=%s conns=%d churn=%s depth=%d idle=%d threads=%d seconds=%.2f requests=%llu rps=%.0f p50_us=%.1f "
      "p90_us=%.1f p99_us=%.1f max_us=%.1f errors=%llu server_cpu_pct=%.1f server_us_per_req=%.3f "
      "client_cpu_pct=%.1f client_us_per_req=%.3f\n",
      o.label.c_str(), o.connections, o.churn ? "yes" : "no", o.depth, o.idle, o.threads, seconds, static_cast<unsigned long long>(completed),
      static_cast<double>(completed) / seconds, us(latency.percentile(0.50)), us(latency.percentile(0.90)),
      us(latency.percentile(0.99)), us(latency.max()), static_cast<unsigned long long>(errors),
      serverCpu < 0 ? -1.0 : serverCpu / seconds / 1e7, serverCpu < 0 ? -1.0 : serverCpu * perRequest / 1000.0,
      clientCpu / seconds / 1e7, clientCpu * perRequest / 1000.0);
  std::fflush(stdout);
  if (completed == 0) std::fprintf(stderr, "bench_loadgen: no request was answered\n");
  return reportErrors(workers) | (completed == 0 ? 1 : 0);
}

int runOpenOnly(const Options& o, const sockaddr_in& server, const bench::Request& request) {
  std::vector<std::unique_ptr<ClientWorker>> workers;
  workers.push_back(std::make_unique<ClientWorker>(server, request, 1));
  ClientWorker& w = *workers.back();
  const long before = o.pid > 0 ? bench::residentKib(o.pid) : -1;
  const std::uint64_t t0 = bench::nowNs();
  const bool opened = w.open(o.connections, false);
  const std::uint64_t t1 = bench::nowNs();
  sleepUntil(bench::nowNs() + 200000000);
  const long afterOpen = o.pid > 0 ? bench::residentKib(o.pid) : -1;
  const bool served = opened && w.serveOnce(60.0);
  sleepUntil(bench::nowNs() + 200000000);
  const long afterServe = o.pid > 0 ? bench::residentKib(o.pid) : -1;
  const double perConn = before >= 0 ? static_cast<double>(afterServe - before) * 1024.0 / o.connections : -1.0;
  std::printf(
      "open label=%s conns=%d opened=%s served=%llu open_ms=%.0f rss_before_kib=%ld rss_open_kib=%ld "
      "rss_served_kib=%ld per_conn_bytes=%.0f errors=%llu\n",
      o.label.c_str(), o.connections, opened ? "yes" : "no", static_cast<unsigned long long>(w.stats.completed),
      us(t1 - t0) / 1000.0, before, afterOpen, afterServe, perConn, static_cast<unsigned long long>(w.stats.errors));
  std::fflush(stdout);
  const bool allServed = served && w.stats.completed == static_cast<std::uint64_t>(o.connections);
  return reportErrors(workers) | (allServed ? 0 : 1);
}

int runOneMessage(const Options& o, const sockaddr_in& server, const bench::Request& request,
                  const std::string& frame) {
  std::vector<std::unique_ptr<ClientWorker>> workers;
  workers.push_back(std::make_unique<ClientWorker>(server, request, 1));
  ClientWorker& w = *workers.back();
  if (!w.open(1, false)) return reportErrors(workers) | 1;
  const bool reset = o.pid > 0 && bench::resetPeakResident(o.pid);
  const long before = o.pid > 0 ? bench::residentKib(o.pid) : -1;
  std::uint64_t sendNs = 0, replyNs = 0;
  const bool ok = w.oneMessage(frame, sendNs, replyNs);
  const long peak = o.pid > 0 ? bench::peakResidentKib(o.pid) : -1;
  sleepUntil(bench::nowNs() + 300000000);
  const long after = o.pid > 0 ? bench::residentKib(o.pid) : -1;
  std::printf(
      "big label=%s bytes=%zu send_ms=%.1f reply_after_last_byte_ms=%.1f rss_before_kib=%ld peak_kib=%ld "
      "rss_after_kib=%ld peak_reset=%s errors=%llu\n",
      o.label.c_str(), frame.size(), us(sendNs) / 1000.0, us(replyNs) / 1000.0, before, peak, after,
      reset ? "yes" : "no", static_cast<unsigned long long>(w.stats.errors));
  std::fflush(stdout);
  return reportErrors(workers) | (ok ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!bench::parseOptions(argc, argv, o)) return 2;
  raiseFileLimit();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(o.port));
  if (inet_pton(AF_INET, o.host.c_str(), &server.sin_addr) != 1) {
    std::fprintf(stderr, "bench_loadgen: not an IPv4 address: %s\n", o.host.c_str());
    return 2;
  }
  bench::Request request;
  const std::string payload = paddedPayload(o);
  // One mask key for the whole run: masking must be done, its randomness buys nothing here.
  const std::uint32_t maskKey = static_cast<std::uint32_t>(std::random_device{}()) | 0x01010101u;
  const std::string frame = bench::textFrame(payload, true, maskKey);
  request.frameLength = frame.size();
  if (o.mode != bench::Mode::OneMessage) {
    for (int i = 0; i < o.depth; ++i) request.frames += frame;
  }
  request.verify = o.verify;
  request.expect = o.expect;

  switch (o.mode) {
    case bench::Mode::Load:
      return runLoad(o, server, request);
    case bench::Mode::OpenOnly:
      return runOpenOnly(o, server, request);
    case bench::Mode::OneMessage:
      return runOneMessage(o, server, request, frame);
  }
  return 2;
}
