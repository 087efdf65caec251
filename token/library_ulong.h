// SPDX-License-Identifier: MIT
// The place a library writes a ULONG through a pointer. The standard's ULONG is 32-bit, but public
// SKF headers let a library be built with unsigned long, 8 bytes on 64-bit Linux; such a library
// writes (and reads) 8 bytes where we would have offered 4. Every such pointer therefore leads to
// 8 zeroed bytes, and the value is the first 4 of them: the low half on a little-endian machine,
// whichever width the library wrote.
#pragma once

#include <bit>
#include <cstring>

#include "token/skf.h"

static_assert(std::endian::native == std::endian::little,
              "LibraryUlong reads the first 4 of 8 bytes as the value: on a big-endian machine that is the high "
              "half of an 8-byte ULONG; read the other half there before building");

class LibraryUlong {
 public:
  LibraryUlong() = default;
  // The value the library reads on entry (a buffer's size), with the upper bytes zero.
  explicit LibraryUlong(ULONG value) { std::memcpy(bytes_, &value, sizeof value); }

  ULONG* pointer() { return reinterpret_cast<ULONG*>(bytes_); }
  ULONG value() const {
    ULONG value;
    std::memcpy(&value, bytes_, sizeof value);
    return value;
  }

 private:
  alignas(8) unsigned char bytes_[8] = {};
};
