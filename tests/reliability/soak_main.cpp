// SPDX-License-Identifier: MIT
// soak: starts the real daemon on port 9446, runs many clients against it at once for a while, then
// checks that every reply owed on a surviving connection came in order with the right content, that
// the service still answers, and that its descriptors and memory come back after the clients leave.
// Prints the figures; exits 0 only when all of that holds.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/process_memory.h"
#include "tests/reliability/soak_client.h"
#include "tests/reliability/soak_requests.h"
#include "tests/reliability/soak_stats.h"
#include "tests/service/daemon_control.h"
#include "tests/support/ws_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string daemon;      // the tokenbridged binary
  std::string state;       // SOFTTOKEN_STATE for the daemon (an initialised software token)
  std::string corpus;      // optional: a directory of message texts checked only for form
  std::string pidFile;     // optional: where the daemon's pid is written for the caller's clean-up
  unsigned clients = 50;
  unsigned seconds = 20;
  std::uint64_t seed = 0;
  long slackKb = 512;      // allowed growth for a tiny RSS, where 10% is a few pages
  unsigned warmupSeconds = 3;
  unsigned rounds = 1;     // client phases one after another on the same daemon
  bool attach = false;     // use the daemon already on the port (started by hand, under a tool) and leave it
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "soak: %s\nusage: soak --daemon PATH --state PATH [--corpus DIR] [--pid-file PATH] [--clients N]\n"
               "            [--seconds S] [--seed N] [--slack-kb K] [--warmup S] [--rounds N]\n"
               "       soak --attach [--clients N] ...   (the daemon already on port 9446; it is left running)\n",
               why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  std::random_device device;
  options.seed = (std::uint64_t{device()} << 32) | device();
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--attach") {
      options.attach = true;
      continue;
    }
    if (i + 1 >= argc) usage(("missing value for " + name).c_str());
    const std::string value = argv[++i];
    if (name == "--daemon") options.daemon = value;
    else if (name == "--state") options.state = value;
    else if (name == "--corpus") options.corpus = value;
    else if (name == "--pid-file") options.pidFile = value;
    else if (name == "--clients") options.clients = static_cast<unsigned>(std::stoul(value));
    else if (name == "--seconds") options.seconds = static_cast<unsigned>(std::stoul(value));
    else if (name == "--seed") options.seed = std::stoull(value);
    else if (name == "--slack-kb") options.slackKb = std::stol(value);
    else if (name == "--rounds") options.rounds = static_cast<unsigned>(std::stoul(value));
    else if (name == "--warmup") options.warmupSeconds = static_cast<unsigned>(std::stoul(value));
    else usage(("unknown option " + name).c_str());
  }
  if (!options.attach && (options.daemon.empty() || options.state.empty())) usage("--daemon and --state are required");
  if (options.clients == 0 || options.seconds == 0 || options.rounds == 0) {
    usage("--clients, --seconds and --rounds must be positive");
  }
  return options;
}

std::vector<std::string> readCorpus(const std::string& directory) {
  std::vector<std::string> texts;
  if (directory.empty()) return texts;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return texts;
}

// As many clients as the run, with the whole mix, for a short while: every code path the run takes
// is paged in and the allocator has grown to what the run's concurrency needs before memory is first
// measured (with fewer clients the heap measured before was sometimes half of what the same load
// keeps afterwards, without a leak: rounds of the long run stay at one height).
void warmUp(const Options& options, const soak::RequestMaker& maker, std::uint16_t port, soak::Stats& stats) {
  const auto deadline = Clock::now() + std::chrono::seconds(options.warmupSeconds);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options.clients; ++i) {
    threads.emplace_back([&, i] { soak::Client(maker, stats, options.seed ^ (0x9E3779B97F4A7C15ull + i), port, deadline).run(); });
  }
  for (std::thread& thread : threads) thread.join();
}

// The service closes its side of every connection the clients left; gives it up to 15 s to come
// down to `limit` and returns the count it came to.
long waitForDescriptors(pid_t pid, long limit) {
  long count = soak::openDescriptors(pid);
  for (int i = 0; i < 150 && count > limit; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    count = soak::openDescriptors(pid);
  }
  return count;
}

std::string residentParts(pid_t pid) {
  return testdaemon::statusField(pid, "RssAnon") + " heap and stacks, " + testdaemon::statusField(pid, "RssFile") +
         " code and files";
}

// A request of every valid type and a malformed one after each, on a fresh connection, each reply
// checked.
bool everyTypeAnswered(const soak::RequestMaker& maker, std::uint16_t port, soak::Stats& stats) {
  testsupport::RawClient client;
  if (!client.open(port)) return false;
  std::mt19937_64 random(7);
  for (std::size_t i = 0; i < 2 * soak::RequestMaker::kValidKinds; ++i) {
    const soak::Request request = i % 2 == 0 ? maker.valid(i / 2, random) : maker.malformed(random);
    if (!client.send(testsupport::textFrame(request.text))) return false;
    const std::optional<testsupport::ReceivedFrame> reply = client.readFrame(10000);
    if (!reply || reply->payload != request.expected) {
      stats.fail("check request " + request.text + ": got " + (reply ? reply->payload : std::string("nothing")));
      return false;
    }
  }
  return true;
}

void printFigures(const Options& options, soak::Stats& stats, double seconds) {
  auto n = [](const soak::Stats::Counter& counter) { return static_cast<unsigned long long>(counter.load()); };
  std::printf("clients %u, rounds %u, seconds %.1f, seed %llu\n", options.clients, options.rounds, seconds,
              static_cast<unsigned long long>(options.seed));
  std::printf("connections %llu, requests checked %llu (%.0f/s), replies right %llu\n", n(stats.connections),
              n(stats.requests), n(stats.requests) / seconds, n(stats.repliesOk));
  std::printf("lost %llu, misordered %llu, wrong %llu\n", n(stats.lost), n(stats.misordered), n(stats.wrong));
  std::printf("pongs %llu, idle pings %llu, protocol-error closes %llu, close handshakes %llu, half-closes %llu, "
              "resets %llu\n",
              n(stats.pongs), n(stats.serverPings), n(stats.protocolCloses), n(stats.cleanCloses), n(stats.halfCloses),
              n(stats.resets));
  std::printf("slow readers %llu, idle connections %llu, heads byte by byte %llu, plain HTTP %llu, bad heads %llu, "
              "large messages %llu, oversized claims %llu\n",
              n(stats.slowReaders), n(stats.idleConnections), n(stats.bytewiseHeads), n(stats.plainHttp),
              n(stats.badHeads), n(stats.largeMessages), n(stats.oversizedClaims));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const std::uint16_t port = testdaemon::kServicePort;

  testdaemon::Stopper stopper;
  if (options.attach) {
    if (testdaemon::pidListeningOn(port) == 0) {
      std::fprintf(stderr, "soak: --attach, but nothing listens on port %u\n", port);
      return 2;
    }
  } else {
    if (const pid_t holder = testdaemon::pidListeningOn(port)) {
      std::fprintf(stderr, "soak: port %u is already in use (pid %d); refusing to run\n", port, holder);
      return 2;
    }
    const testdaemon::StartResult started = testdaemon::start(options.daemon, {{"SOFTTOKEN_STATE", options.state}});
    if (started.exitStatus != 0) {
      std::fprintf(stderr, "soak: the daemon did not start (status %d): %s", started.exitStatus,
                   started.errorOutput.c_str());
      return 1;
    }
    stopper.pid = testdaemon::pidListeningOn(port);
  }
  const pid_t pid = options.attach ? testdaemon::pidListeningOn(port) : stopper.pid;
  if (pid == 0) {
    std::fprintf(stderr, "soak: the daemon started but nothing listens on port %u\n", port);
    return 1;
  }
  if (!options.attach && !options.pidFile.empty()) std::ofstream(options.pidFile) << pid << "\n";

  // The software token's facts as the state file was initialised (the command's defaults).
  soak::RequestMaker maker({.serial = "TB0123456789ABCDEF01", .userPin = "12345678", .adminPin = "admin12345"},
                           readCorpus(options.corpus));
  soak::Stats stats;
  soak::Stats warmupStats;
  const long coldKb = soak::residentKb(pid);
  // A fresh daemon's descriptors: standard ones, the listener and whatever the loop keeps.
  const long descriptorsBefore = soak::openDescriptors(pid);
  if (!everyTypeAnswered(maker, port, stats)) {
    std::fprintf(stderr, "soak: the daemon does not answer the check requests\n");
    for (const std::string& note : stats.notes()) std::fprintf(stderr, "  %s\n", note.c_str());
    return 1;
  }
  // Memory is read the same way before and after the run: once the clients are gone and their
  // connections closed, after one more round of checked requests and a second of quiet.
  warmUp(options, maker, port, warmupStats);
  waitForDescriptors(pid, descriptorsBefore);
  if (!everyTypeAnswered(maker, port, warmupStats)) {
    std::fprintf(stderr, "soak: the daemon stopped answering while warming up\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long beforeKb = soak::residentKb(pid);
  const std::string beforeParts = residentParts(pid);

  // Rounds of clients on the same daemon: memory that grows round after round is a leak, memory
  // that stays at the same height after each is what the allocator keeps.
  const auto began = Clock::now();
  long peakKb = 0, afterKb = -1, descriptorsAfter = -1;
  bool alive = true;
  std::string afterParts;
  for (unsigned round = 0; round < options.rounds && alive; ++round) {
    {
      soak::RssSampler sampler(pid);
      const auto deadline = Clock::now() + std::chrono::seconds(options.seconds);
      std::vector<std::thread> threads;
      for (unsigned i = 0; i < options.clients; ++i) {
        const std::uint64_t seed = options.seed + round * options.clients + i;
        threads.emplace_back([&, seed] { soak::Client(maker, stats, seed, port, deadline).run(); });
      }
      for (std::thread& thread : threads) thread.join();
      peakKb = std::max(peakKb, sampler.peakKb());
    }
    descriptorsAfter = waitForDescriptors(pid, descriptorsBefore);
    alive = testdaemon::alive(pid) && everyTypeAnswered(maker, port, stats);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    afterKb = soak::residentKb(pid);
    afterParts = residentParts(pid);
    if (options.rounds > 1) std::printf("round %u: RSS after %ld kB (%s)\n", round + 1, afterKb, afterParts.c_str());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  const long hwmKb = soak::peakResidentKb(pid);

  printFigures(options, stats, seconds);
  const long limitKb = std::max(beforeKb + beforeKb / 10, beforeKb + options.slackKb);
  std::printf("RSS kB: at start %ld, before %ld, peak %ld (kernel high-water %ld), after %ld (limit %ld)\n", coldKb,
              beforeKb, peakKb, hwmKb, afterKb, limitKb);
  std::printf("RSS before: %s; after: %s\n", beforeParts.c_str(), afterParts.c_str());
  std::printf("descriptors: before %ld, after %ld\n", descriptorsBefore, descriptorsAfter);
  std::printf("service after the run: %s\n", alive ? "answering" : "NOT ANSWERING");
  for (const std::string& note : warmupStats.notes()) std::printf("  failure while warming up: %s\n", note.c_str());
  for (const std::string& note : stats.notes()) std::printf("  failure: %s\n", note.c_str());

  bool ok = true;
  auto verdict = [&ok](bool good, const char* what) {
    if (!good) {
      std::printf("FAIL: %s\n", what);
      ok = false;
    }
  };
  verdict(alive, "the service is not answering after the run");
  verdict(stats.lost == 0 && stats.misordered == 0 && stats.wrong == 0, "replies lost, misordered or wrong");
  verdict(stats.failures == 0 && warmupStats.failures == 0, "checks failed (see above)");
  verdict(stats.requests > 0 && stats.repliesOk > 0, "no request was checked");
  verdict(afterKb >= 0 && afterKb <= limitKb, "memory did not come back near its size before the run");
  verdict(descriptorsAfter <= descriptorsBefore, "descriptors did not come back after the clients left");

  if (!options.attach && !testdaemon::signalAndWait(pid, SIGTERM, std::chrono::seconds(5))) {
    testdaemon::signalAndWait(pid, SIGKILL, std::chrono::seconds(5));
  }
  stopper.pid = 0;
  if (!options.pidFile.empty()) std::filesystem::remove(options.pidFile);
  std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
  return ok ? 0 : 1;
}
