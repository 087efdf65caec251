// SPDX-License-Identifier: MIT
#include "net/buffers.h"

#include <malloc.h>

#include <cstddef>

namespace net {
namespace {

// Buffers larger than this are given back once empty.
constexpr std::size_t kKeepCapacity = 2048;
// Above this, a released buffer is handed back to the system at once.
constexpr std::size_t kTrimCapacity = 1u << 20;

}  // namespace

void release(std::string& buffer) {
  const std::size_t capacity = buffer.capacity();
  std::string().swap(buffer);
  if (capacity >= kTrimCapacity) ::malloc_trim(0);
}

void releaseIfLarge(std::string& buffer) {
  if (buffer.capacity() > kKeepCapacity) release(buffer);
}

}  // namespace net
