// SPDX-License-Identifier: MIT
// Guard-page buffers for the parser tests.
#include "tests/support/guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace testsupport {

GuardedBuffer::GuardedBuffer(std::string_view bytes) : size_(bytes.size()) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t dataPages = (bytes.size() + page - 1) / page;
  mappingSize_ = (dataPages + 1) * page;
  mapping_ = ::mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  auto* base = static_cast<unsigned char*>(mapping_);
  ::mprotect(base + dataPages * page, page, PROT_NONE);
  data_ = base + dataPages * page - bytes.size();
  if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
}

GuardedBuffer::~GuardedBuffer() { ::munmap(mapping_, mappingSize_); }

}  // namespace testsupport
