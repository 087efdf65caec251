// SPDX-License-Identifier: MIT
// What ties a Hold to its connection across threads: the first answer, posted to the loop, and
// whether the connection is still there to take it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <asio.hpp>

namespace net {

class Connection;

struct HoldAnswer {
  enum class Kind : std::uint8_t { reply, resume, close } kind;
  std::string text;          // the reply, or the close reason
  std::uint16_t status = 0;  // the close status
};

class HoldLink {
 public:
  HoldLink(asio::io_context& io, Connection* connection) : io_(&io), connection_(connection) {}

  // Any thread: posts the first answer to the loop, where the connection takes it.
  void answer(HoldAnswer answer);
  // Loop thread: the connection closed; an answer still comes back to it, and is dropped there.
  void abandon() { abandoned_.store(true, std::memory_order_relaxed); }
  bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }
  // Loop thread: the connection is deleted with its loop, so nothing is posted any more.
  void detach();

 private:
  std::mutex mutex_;
  asio::io_context* io_;      // null once detached
  Connection* connection_;
  bool answered_ = false;
  std::atomic<bool> abandoned_{false};
};

}  // namespace net
