// SPDX-License-Identifier: MIT
// What ties a Hold to its connection across threads: the first answer, handed to the loop through
// its inbox, and whether the connection is still there to take it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <asio.hpp>

namespace net {

class Connection;

struct HoldAnswer {
  enum class Kind : std::uint8_t { reply, resume, close } kind;
  std::string text;          // the reply, or the close reason
  std::uint16_t status = 0;  // the close status
};

// The answers other threads give, waiting for the loop. One posted drain takes every answer that
// came in meanwhile: a thread answering many held connections in a row wakes the loop once, not
// once per answer.
class AnswerInbox : public std::enable_shared_from_this<AnswerInbox> {
 public:
  explicit AnswerInbox(asio::io_context& io) : io_(&io) {}

  // Any thread. Throws std::bad_alloc if the answer cannot be queued or the drain posted; the
  // answer is then not queued.
  void put(Connection* connection, HoldAnswer answer);
  // Loop thread, when the loop ends: answers queued or still to come are dropped.
  void close();

 private:
  void drain();  // loop thread

  std::mutex mutex_;
  asio::io_context* io_;  // null once closed
  std::vector<std::pair<Connection*, HoldAnswer>> answers_;
  bool drainPosted_ = false;
};

class HoldLink {
 public:
  HoldLink(std::shared_ptr<AnswerInbox> inbox, Connection* connection)
      : inbox_(std::move(inbox)), connection_(connection) {}

  // Any thread: hands the first answer to the loop, where the connection takes it.
  void answer(HoldAnswer answer);
  // Loop thread: the connection closed; an answer still comes back to it, and is dropped there.
  void abandon() { abandoned_.store(true, std::memory_order_relaxed); }
  bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }
  // Loop thread: the hold was taken at the upgrade, before any message was served.
  void markHeldAtStart() { defers_ = Defers::start; }
  bool heldAtStart() const { return defers_ == Defers::start; }
  // Loop thread: the connection is deleted with its loop, so nothing is handed on any more.
  void detach();

 private:
  std::mutex mutex_;
  std::shared_ptr<AnswerInbox> inbox_;  // null once detached
  Connection* connection_;
  bool answered_ = false;
  std::atomic<bool> abandoned_{false};
  // What the hold defers: the answer to a message, or the connection's start.
  enum class Defers : std::uint8_t { message, start } defers_ = Defers::message;
};

}  // namespace net
