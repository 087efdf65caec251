// SPDX-License-Identifier: MIT
// One soak client: runs one connection's worth of behaviour at a time, picked at random (a
// conversation, a slow reader, an idle connection, a head sent byte by byte, protocol errors,
// resets ...), and checks every reply it is owed against the request that earned it.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

#include "tests/reliability/soak_requests.h"
#include "tests/reliability/soak_stats.h"

namespace soak {

class Client {
 public:
  using Clock = std::chrono::steady_clock;

  Client(const RequestMaker& maker, Stats& stats, std::uint64_t seed, std::uint16_t port, Clock::time_point deadline);

  // Runs connections one after another until the deadline.
  void run();

 private:
  void conversation();
  void slowReader();
  void idle();
  void plainHttpThenUpgrade();
  void badHead();
  void largeMessage();
  void oversizedClaim();

  const RequestMaker& maker_;
  Stats& stats_;
  std::mt19937_64 random_;
  std::uint16_t port_;
  Clock::time_point deadline_;
};

}  // namespace soak
