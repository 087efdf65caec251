// SPDX-License-Identifier: MIT
// The soak's counters, shared by all client threads, and the first few failure descriptions.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

struct Stats {
  using Counter = std::atomic<std::uint64_t>;
  Counter connections{0};
  Counter requests{0};         // messages sent whose reply is checked
  Counter repliesOk{0};        // replies that arrived in their place with the right content
  Counter lost{0};             // replies that never came on a connection the service kept open
  Counter misordered{0};       // a reply that belongs to another request of the same connection
  Counter wrong{0};            // a reply that belongs to no request of the connection
  Counter pongs{0};            // pongs with the ping's payload, in their place
  Counter serverPings{0};      // idle pings the service sent
  Counter protocolCloses{0};   // protocol errors answered with the right close text
  Counter cleanCloses{0};      // close handshakes echoed
  Counter halfCloses{0};       // replies flushed after the client's FIN
  Counter resets{0};           // connections the client reset with replies pending
  Counter slowReaders{0};
  Counter idleConnections{0};
  Counter bytewiseHeads{0};
  Counter plainHttp{0};
  Counter badHeads{0};
  Counter largeMessages{0};
  Counter oversizedClaims{0};
  Counter failures{0};         // every check that failed, the ones above included

  // Counts a failure and keeps its description if it is among the first few.
  void fail(const std::string& what) {
    ++failures;
    std::lock_guard<std::mutex> lock(mutex_);
    if (notes_.size() < 30) notes_.push_back(what);
  }
  std::vector<std::string> notes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> notes_;
};

}  // namespace soak
