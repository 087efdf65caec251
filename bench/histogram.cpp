// SPDX-License-Identifier: MIT
// Bucket arithmetic of the latency histogram: values below 128 ns have a bucket each, above that
// every power of two is split into 64 equal buckets.
#include "bench/histogram.h"

#include <bit>
#include <cmath>

namespace bench {
namespace {

int bucketOf(std::uint64_t v) {
  if (v < 128) return static_cast<int>(v);
  const int msb = 63 - std::countl_zero(v);
  return (msb - 6) * 64 + static_cast<int>(v >> (msb - 6));
}

std::uint64_t lowOf(int index) {
  if (index < 128) return static_cast<std::uint64_t>(index);
  const int octave = index / 64 - 1;
  return static_cast<std::uint64_t>(index - octave * 64) << octave;
}

}  // namespace

void Histogram::record(std::uint64_t nanos) {
  ++buckets_[bucketOf(nanos)];
  ++count_;
  if (nanos > max_) max_ = nanos;
}

void Histogram::merge(const Histogram& other) {
  for (int i = 0; i < kBuckets; ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  if (other.max_ > max_) max_ = other.max_;
}

void Histogram::clear() { *this = Histogram(); }

std::uint64_t Histogram::percentile(double q) const {
  if (count_ == 0) return 0;
  auto target = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
  if (target == 0) target = 1;
  std::uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += buckets_[i];
    if (seen >= target) {
      const std::uint64_t low = lowOf(i);
      const std::uint64_t mid = low + (lowOf(i + 1) - low) / 2;
      return mid < max_ ? mid : max_;
    }
  }
  return max_;
}

}  // namespace bench
