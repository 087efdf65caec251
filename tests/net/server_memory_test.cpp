// SPDX-License-Identifier: MIT
// Memory running out while one connection asks for more costs that connection only: the replies
// it already had go out, it is closed, the operator is told in one line, and the others are
// served on. This test program stands in for a machine short of memory: in it, every single
// allocation of 4 MiB or more fails, so no test has to fill the memory for real; and while a test
// says so, every allocation of the server's loop thread fails, whatever its size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <new>
#include <string>
#include <vector>

#include "tests/net/test_handlers.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {
constexpr std::size_t kFailingSize = 4u << 20;
std::atomic<std::thread::id> loopThread;
std::atomic<bool> loopOutOfMemory{false};
}

void* operator new(std::size_t size) {
  if (size >= kFailingSize) throw std::bad_alloc();
  if (loopOutOfMemory.load() && std::this_thread::get_id() == loopThread.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// The operator new above takes its memory from malloc, so free is its match; the compiler cannot
// see that a replaced operator new is not the library's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
#pragma GCC diagnostic pop
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete[](p); }

namespace {

using nettest::echoed;
using testsupport::frame;
using testsupport::RawClient;
using testsupport::textFrame;

std::mutex logMutex;
std::vector<std::string> logLines;

// Echoes, except that "huge" is answered with a 5 MiB frame, whose place in the output cannot be
// allocated.
char hugeReply[5u << 20];
void echoOrHuge(net::Connection* connection, int event, void* data) {
  if (event == net::EV_WEBSOCKET_FRAME) {
    auto* message = static_cast<net::WebSocketMessage*>(data);
    if (std::string_view(reinterpret_cast<const char*>(message->data), message->size) == "huge") {
      net::sendWebSocketFrame(connection, net::OP_TEXT, hugeReply, sizeof hugeReply);
      return;
    }
  }
  nettest::echoHandler(connection, event, data);
}

TEST(OutOfMemory, ClosesOnlyTheConnectionThatAsked) {
  // The test's own stand-in must work, or the cases below prove nothing.
  EXPECT_THROW(static_cast<void>(::operator new(kFailingSize)), std::bad_alloc);

  net::ServerOptions options;
  options.log = [](const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.push_back(line);
  };
  testsupport::ServerThread server(echoOrHuge, options);

  // A text frame of 5 MiB, masked: only its header and a few bytes are sent.
  const std::string announced = std::string("\x81\xFF\x00\x00\x00\x00\x00\x50\x00\x00", 10) + "mask" + "abc";
  // Six fragments of 1 MiB, sent one by one (the client is under the same rule).
  std::vector<std::string> fragments = {textFrame("before") + frame(1, std::string(1u << 20, 'f'), false)};
  for (int i = 0; i < 5; ++i) fragments.push_back(frame(0, std::string(1u << 20, 'f'), false));
  const struct {
    const char* name;
    std::vector<std::string> send;
  } cases[] = {
      {"reservation for an announced length", {textFrame("before") + announced}},
      {"fragments joined", fragments},
      {"a reply queued by the handler", {textFrame("before") + textFrame("huge") + textFrame("after")}},
  };
  RawClient bystander;
  ASSERT_TRUE(bystander.open(server.port()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(logMutex);
      logLines.clear();
    }
    RawClient client;
    ASSERT_TRUE(client.open(server.port()));
    for (const std::string& piece : c.send) {
      if (!client.send(piece)) break;  // the server may close before it has taken all of it
    }
    const auto result = client.drain(3000);
    EXPECT_EQ(result.bytes, echoed("before"));
    EXPECT_TRUE(result.closed);
    {
      std::lock_guard<std::mutex> lock(logMutex);
      EXPECT_EQ(logLines, std::vector<std::string>{"connection closed: out of memory"});
    }
    ASSERT_TRUE(bystander.send(textFrame("still here")));
    EXPECT_EQ(bystander.readExactly(12, 2000).value_or(""), echoed("still here"));
  }
}

// While every allocation of the loop thread fails, a new connection cannot be taken in, the
// accept cannot be set up again and the tick may not be re-armed: none of it may end the loop.
// Once memory is back, the tick resumes accepting and new connections are served.
TEST(OutOfMemory, AcceptingAndTheTickSurviveAndResume) {
  {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.clear();
  }
  net::ServerOptions options;
  options.log = [](const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines.push_back(line);
  };
  testsupport::ServerThread server(
      [](net::Connection* connection, int event, void* data) {
        if (event == net::EV_ACCEPT) loopThread = std::this_thread::get_id();
        nettest::echoHandler(connection, event, data);
      },
      options);
  RawClient first;
  ASSERT_TRUE(first.open(server.port()));
  ASSERT_TRUE(first.send(textFrame("one")));
  ASSERT_EQ(first.readExactly(5, 2000).value_or(""), echoed("one"));

  loopOutOfMemory = true;
  {
    RawClient refused;  // the kernel completes its handshake; the server has no memory to take it
    ASSERT_TRUE(refused.connect(server.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two ticks or more, all failing
  }
  loopOutOfMemory = false;

  std::string reply;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
       reply.empty() && std::chrono::steady_clock::now() < deadline;) {
    RawClient next;
    if (next.open(server.port()) && next.send(textFrame("back"))) reply = next.readExactly(6, 1000).value_or("");
  }
  EXPECT_EQ(reply, echoed("back"));
  // The log line of the failure itself could not be made then; its loss is told by a tick once
  // memory is back.
  const auto lossTold = [] {
    std::lock_guard<std::mutex> lock(logMutex);
    return std::count_if(logLines.begin(), logLines.end(), [](const std::string& line) {
      return line.rfind("log lines lost while memory was out: ", 0) == 0;
    });
  };
  for (int i = 0; i < 30 && lossTold() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(lossTold(), 1);
}

}  // namespace
