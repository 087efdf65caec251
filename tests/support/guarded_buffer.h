// SPDX-License-Identifier: MIT
// Puts a parser's input right against an inaccessible page, so a read one byte past the end
// faults at once instead of passing unnoticed.
#pragma once

#include <string_view>

namespace testsupport {

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::string_view bytes);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Writable, so in-place parsers (unmasking) can be tested too.
  unsigned char* data() const { return data_; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
  std::size_t size() const { return size_; }

 private:
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace testsupport
