// SPDX-License-Identifier: MIT
// Giving a buffer's memory back, so an idle connection stays small.
#pragma once

#include <string>

namespace net {

// Empties the buffer and frees its memory. The allocator keeps freed large blocks on its heap once
// it has raised its mmap threshold, so a big message would otherwise leave its size resident.
void release(std::string& buffer);
// Frees an empty buffer's memory only when it is larger than an idle connection needs.
void releaseIfLarge(std::string& buffer);

// Appends all that `write` appends to `out`, or nothing: a frame cut short by a failed allocation
// would garble everything after it on the wire.
template <class Write>
void appendWhole(std::string& out, Write write) {
  const std::size_t before = out.size();
  try {
    write(out);
  } catch (...) {
    out.resize(before);
    throw;
  }
}

}  // namespace net
