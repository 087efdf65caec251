// SPDX-License-Identifier: MIT
// Holds over real sockets, answered from another thread: a held connection's replies keep the
// order of its requests, other connections are served meanwhile, and an answer to a connection
// that has gone is dropped.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "net/hold.h"
#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

using nettest::echoed;
using nettest::serverFrame;
using testsupport::RawClient;
using testsupport::textFrame;

// The other thread: answers each held message after a short wait, as a slow token would.
//   "now..."   answered at once on the loop, never held
//   "close"    hold.close(4000, "bye")
//   "drop"     the hold destroyed without an answer
//   "stall"    kept until release(); its hold's abandoned() is then reported
//   otherwise  hold.reply(payload)
class Worker {
 public:
  Worker() : thread_([this] { run(); }) {}
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void push(net::Hold hold, std::string payload) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back({std::move(hold), std::move(payload)});
    }
    wake_.notify_all();
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    wake_.notify_all();
  }
  std::atomic<int> abandonedSeen{0};

 private:
  struct Job {
    net::Hold hold;
    std::string payload;
  };
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      if (job.payload == "stall") {
        wake_.wait(lock, [this] { return stopping_ || released_; });
        if (job.hold.abandoned()) ++abandonedSeen;
        job.hold.reply("too late");
        continue;
      }
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (job.payload == "close") job.hold.close(4000, "bye");
      else if (job.payload != "drop") job.hold.reply(job.payload);
      lock.lock();
    }  // "drop": its hold is destroyed here, unanswered
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  bool released_ = false;
  std::thread thread_;
};

Worker* worker = nullptr;

void holdingHandler(net::Connection* connection, int event, void* data) {
  if (event != net::EV_WEBSOCKET_FRAME) return;
  auto* message = static_cast<net::WebSocketMessage*>(data);
  std::string payload(reinterpret_cast<const char*>(message->data), message->size);
  if (payload.rfind("now", 0) == 0) {
    net::sendWebSocketFrame(connection, net::OP_TEXT, payload.data(), payload.size());
    return;
  }
  worker->push(net::hold(connection), std::move(payload));
}

class Holds : public ::testing::Test {
 protected:
  Holds() { worker = &worker_; }
  ~Holds() override { worker = nullptr; }
  RawClient open() {
    RawClient client;
    EXPECT_TRUE(client.open(server_.port()));
    return client;
  }
  Worker worker_;
  testsupport::ServerThread server_{holdingHandler};
};

// Requests in one write, some held and some not: the replies come in the order of the requests.
TEST_F(Holds, RepliesKeepTheOrderOfTheRequests) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("a") + textFrame("now1") + textFrame("b") + textFrame("drop") +
                          textFrame("now2") + textFrame("c")));
  const std::string expected = echoed("a") + echoed("now1") + echoed("b") + echoed("now2") + echoed("c");
  EXPECT_EQ(client.readExactly(expected.size(), 3000).value_or("(timeout)"), expected);
}

// While one connection waits for its answer, another's requests are answered at once.
TEST_F(Holds, OtherConnectionsAreServedMeanwhile) {
  RawClient held = open();
  RawClient other = open();
  ASSERT_TRUE(held.send(textFrame("stall") + textFrame("after")));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(other.send(textFrame("now")));
  EXPECT_EQ(other.readExactly(echoed("now").size(), 3000).value_or("(timeout)"), echoed("now"));
  EXPECT_EQ(held.drain(50).bytes, "");  // nothing before the held answer
  worker_.release();
  const std::string expected = echoed("too late") + echoed("after");
  EXPECT_EQ(held.readExactly(expected.size(), 3000).value_or("(timeout)"), expected);
  EXPECT_EQ(worker_.abandonedSeen.load(), 0);
}

// Input held for an answer is buffered only up to the bound; beyond it the connection is not
// read, so the client's writes stall. Once answered, everything sent is taken, in order.
TEST_F(Holds, HeldInputIsNotReadBeyondTheBound) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("stall")));
  const std::string payload = "now-" + std::string(1000, 'x');
  const std::string message = textFrame(payload);
  constexpr std::size_t kLimit = 32u << 20;  // far above the bound and the kernel's buffers (about 3 MiB)
  const std::size_t taken = client.sendUntilStalled(message, 300, kLimit);
  EXPECT_LT(taken, kLimit);
  worker_.release();
  const std::string reply = serverFrame(0x81, std::string("\x7e\x03\xec", 3), payload);  // 1004 bytes
  ASSERT_EQ(client.readExactly(echoed("too late").size(), 3000).value_or("(timeout)"), echoed("too late"));
  for (std::size_t i = 0; i < taken / message.size(); ++i) {
    ASSERT_EQ(client.readExactly(reply.size(), 5000).value_or("(timeout)"), reply) << "reply " << i;
  }
}

TEST_F(Holds, AnswerClosesWithItsStatus) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("close") + textFrame("never")));
  const std::string expected = serverFrame(0x88, "\x05", std::string("\x0F\xA0", 2) + "bye");
  EXPECT_EQ(client.readExactly(expected.size(), 3000).value_or("(timeout)"), expected);
  EXPECT_TRUE(client.waitClosed(3000));
}

// A peer that finished sending still gets the answers to what it sent, then the close.
TEST_F(Holds, HalfClosedPeerGetsItsAnswers) {
  RawClient client = open();
  ASSERT_TRUE(client.send(textFrame("a") + textFrame("b")));
  client.shutdownWrite();
  const std::string expected = echoed("a") + echoed("b");
  EXPECT_EQ(client.readExactly(expected.size(), 3000).value_or("(timeout)"), expected);
  EXPECT_TRUE(client.waitClosed(3000));
}

// The peer resets the connection while its message is held: the hold says so, and the late
// answer goes nowhere (the connection stayed allocated for it; the sanitizer build checks that
// nothing dangles).
TEST_F(Holds, AnswerAfterTheCloseIsDropped) {
  {
    RawClient client = open();
    ASSERT_TRUE(client.send(textFrame("stall")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const linger abort{1, 0};
    ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }  // reset by the client
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  worker_.release();
  for (int i = 0; i < 100 && worker_.abandonedSeen.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(worker_.abandonedSeen.load(), 1);
  RawClient next = open();  // the loop goes on
  ASSERT_TRUE(next.send(textFrame("now")));
  EXPECT_EQ(next.readExactly(echoed("now").size(), 3000).value_or("(timeout)"), echoed("now"));
}

}  // namespace
