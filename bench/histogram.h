// SPDX-License-Identifier: MIT
// Latency histogram with log-linear buckets (64 per power of two, so a percentile is within 1.6%):
// fixed size, no allocation while recording, mergeable across client threads.
#pragma once

#include <array>
#include <cstdint>

namespace bench {

class Histogram {
 public:
  void record(std::uint64_t nanos);
  void merge(const Histogram& other);
  void clear();

  std::uint64_t count() const { return count_; }
  std::uint64_t max() const { return max_; }
  // The value below which a fraction q (0..1) of the samples lie, as the middle of its bucket.
  std::uint64_t percentile(double q) const;

 private:
  static constexpr int kBuckets = 58 * 64;
  std::array<std::uint64_t, kBuckets> buckets_{};
  std::uint64_t count_ = 0;
  std::uint64_t max_ = 0;
};

}  // namespace bench
