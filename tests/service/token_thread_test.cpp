// SPDX-License-Identifier: MIT
// The token thread's queue, with real threads: arrival order, one presence check for all waiting,
// and jobs of closed connections dropped without a call. Then the dispatcher in front of it over
// real sockets, with the thread kept busy: other connections are served meanwhile, and a held
// connection's replies keep the order of its requests.
#include "service/token_thread.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/dispatcher.h"
#include "tests/service/expected_replies.h"
#include "tests/support/server_thread.h"
#include "tests/support/ws_client.h"

namespace {

// What the jobs of one test did, in the order they did it.
struct Record {
  std::mutex mutex;
  std::vector<std::string> calls;    // work run on the token thread
  std::vector<std::string> answers;  // "<waiter>=<text>"
  std::promise<void> allAnswered;
  std::size_t expected = 0;

  void add(std::vector<std::string>& to, std::string entry) {
    std::lock_guard<std::mutex> lock(mutex);
    to.push_back(std::move(entry));
    if (&to == &answers && answers.size() == expected) allAnswered.set_value();
  }
};

class RecordingWaiter : public TokenWaiter {
 public:
  RecordingWaiter(Record& record, std::string name, std::shared_ptr<std::atomic<bool>> gone)
      : record_(record), name_(std::move(name)), gone_(std::move(gone)) {}
  bool abandoned() const override { return gone_->load(); }
  void answer(std::string text) override { record_.add(record_.answers, name_ + "=" + text); }

 private:
  Record& record_;
  std::string name_;
  std::shared_ptr<std::atomic<bool>> gone_;
};

TokenJob job(Record& record, const std::string& name, bool presenceCheck = false,
             std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false)) {
  return TokenJob{.presenceCheck = presenceCheck,
                  .work = [&record, name] {
                    record.add(record.calls, name);
                    return "reply of " + name;
                  },
                  .waiter = std::make_unique<RecordingWaiter>(record, name, std::move(gone))};
}

// Keeps the token thread busy until released, so the jobs submitted meanwhile queue behind it.
class Gate {
 public:
  // Returns once the thread runs the gate's job.
  Gate(TokenThread& thread, Record& record) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    thread.submit(TokenJob{.presenceCheck = false,
                           .work = [started = std::make_shared<std::promise<void>>(std::move(started)),
                                    release = release_.get_future().share()] {
                             started->set_value();
                             release.wait();
                             return std::string("gate");
                           },
                           .waiter = std::make_unique<RecordingWaiter>(record, "gate",
                                                                       std::make_shared<std::atomic<bool>>(false))});
    running.wait();
  }
  void open() { release_.set_value(); }

 private:
  std::promise<void> release_;
};

void waitForAnswers(Record& record) {
  ASSERT_EQ(record.allAnswered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(TokenThread, RunsJobsInArrivalOrderEachAnsweredWithItsOwnReply) {
  Record record;
  record.expected = 4;
  TokenThread thread;
  Gate gate(thread, record);
  for (const char* name : {"a", "b", "c"}) thread.submit(job(record, name));
  gate.open();
  waitForAnswers(record);
  EXPECT_EQ(record.calls, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"gate=gate", "a=reply of a", "b=reply of b", "c=reply of c"}));
}

TEST(TokenThread, OnePresenceCheckAnswersEveryCheckWaitingWhenItIsTaken) {
  Record record;
  record.expected = 5;
  TokenThread thread;
  Gate gate(thread, record);
  thread.submit(job(record, "check1", true));
  thread.submit(job(record, "pin", false));
  thread.submit(job(record, "check2", true));
  thread.submit(job(record, "check3", true));
  gate.open();
  waitForAnswers(record);
  // check1's one call serves check2 and check3; the other job still runs on its own, after them.
  EXPECT_EQ(record.calls, (std::vector<std::string>{"check1", "pin"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"gate=gate", "check1=reply of check1", "check2=reply of check1",
                                                      "check3=reply of check1", "pin=reply of pin"}));
}

TEST(TokenThread, PresenceChecksQueuedAfterTheTakenOneAreNotServedByIt) {
  Record record;
  record.expected = 2;
  std::promise<void> inCheck;
  std::promise<void> finishCheck;
  TokenThread thread;
  thread.submit(TokenJob{.presenceCheck = true,
                         .work =
                             [&] {
                               inCheck.set_value();
                               finishCheck.get_future().wait();
                               record.add(record.calls, "first");
                               return std::string("before");
                             },
                         .waiter = std::make_unique<RecordingWaiter>(record, "first",
                                                                     std::make_shared<std::atomic<bool>>(false))});
  inCheck.get_future().wait();
  // Queued while the check runs: the token may have changed since it started, so it checks again.
  thread.submit(job(record, "later", true));
  finishCheck.set_value();
  waitForAnswers(record);
  EXPECT_EQ(record.calls, (std::vector<std::string>{"first", "later"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"first=before", "later=reply of later"}));
}

TEST(TokenThread, DropsJobsOfClosedConnectionsWithoutCallingAndKeepsTheQueueBounded) {
  Record record;
  record.expected = 3;
  TokenThread thread;
  Gate gate(thread, record);
  auto gone = std::make_shared<std::atomic<bool>>(false);
  thread.submit(job(record, "closedBeforeItsTurn", false, gone));
  thread.submit(job(record, "closedCheck", true, gone));
  gone->store(true);
  // A page that reconnects again and again while the token is busy: each closed job goes at the next submit.
  for (int i = 0; i < 100; ++i) {
    thread.submit(job(record, "abandoned", false, std::make_shared<std::atomic<bool>>(true)));
    EXPECT_LE(thread.queued(), 1U);
  }
  thread.submit(job(record, "live", true));
  thread.submit(job(record, "liveToo"));
  EXPECT_EQ(thread.queued(), 2U);
  gate.open();
  waitForAnswers(record);
  EXPECT_EQ(record.calls, (std::vector<std::string>{"live", "liveToo"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"gate=gate", "live=reply of live", "liveToo=reply of liveToo"}));
}

// The submitter (the loop) runs as SCHED_BATCH from the first job until the queue has run dry, so
// on a shared core its wake-ups do not preempt the token calls; a policy someone set stays.
TEST(TokenThread, TheSubmitterYieldsToTokenWorkOnlyWhileThereIsSome) {
  auto policyComesBack = [](int policy) {
    for (int i = 0; i < 200 && ::sched_getscheduler(0) != policy; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ::sched_getscheduler(0) == policy;
  };
  const sched_param none{};
  for (const int before : {SCHED_OTHER, SCHED_IDLE}) {
    SCOPED_TRACE(before == SCHED_OTHER ? "usual policy" : "policy set by someone");
    ASSERT_EQ(::sched_setscheduler(0, before, &none), 0);
    const int whileBusy = before == SCHED_OTHER ? SCHED_BATCH : SCHED_IDLE;
    Record record;
    record.expected = 2;
    {
      TokenThread thread;
      EXPECT_EQ(::sched_getscheduler(0), before);
      Gate gate(thread, record);
      EXPECT_EQ(::sched_getscheduler(0), whileBusy);
      thread.submit(job(record, "next"));
      EXPECT_EQ(::sched_getscheduler(0), whileBusy);
      gate.open();
      waitForAnswers(record);
      EXPECT_TRUE(policyComesBack(before));
    }
    ASSERT_EQ(::sched_setscheduler(0, SCHED_OTHER, &none), 0);
  }
}

std::string payloadOf(testsupport::RawClient& client, int timeoutMs) {
  const auto frame = client.readFrame(timeoutMs);
  return frame ? frame->payload : "<nothing>";
}

// The dispatcher with its token thread set, on a loopback server.
class DispatcherWithTokenThread : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("SOFTTOKEN_STATE", "/nonexistent/tokenbridge-test/state.json", 1); }
  void SetUp() override { setTokenThread(&thread_); }
  void TearDown() override { setTokenThread(nullptr); }

  Record record_;
  TokenThread thread_;
  testsupport::ServerThread server_{ev_handler};
};

TEST_F(DispatcherWithTokenThread, OthersAreAnsweredWhileTheTokenIsBusyAndEachConnectionKeepsItsOrder) {
  Gate gate(thread_, record_);
  testsupport::RawClient held;
  testsupport::RawClient other;
  ASSERT_TRUE(held.open(server_.port()));
  ASSERT_TRUE(other.open(server_.port()));
  // One write: a token request, then requests that need no token.
  ASSERT_TRUE(held.send(testsupport::textFrame(R"({"type":"GetDevState"})") +
                        testsupport::textFrame(R"({"type":"GetLibVersion"})") +
                        testsupport::textFrame(R"({"type":"Foo"})")));
  // The other connection, token-free and token requests alike, is not held back by the first one's wait.
  ASSERT_TRUE(other.send(testsupport::textFrame(R"({"type":"GetLibVersion"})")));
  EXPECT_EQ(payloadOf(other, 2000), expected::kVersionReply);
  ASSERT_TRUE(other.send(testsupport::textFrame(R"({"type":"StartMonitor"})")));
  EXPECT_EQ(payloadOf(other, 2000), R"({"type":"StartMonitor", "code":"0", "data":"true"})");
  // Nothing for the held connection while its request waits, not even the requests behind it.
  EXPECT_EQ(payloadOf(held, 200), "<nothing>");
  gate.open();
  const std::string absent = expected::reply("GetDevState", "1", "0");
  EXPECT_EQ(payloadOf(held, 5000), absent);
  EXPECT_EQ(payloadOf(held, 2000), expected::kVersionReply);
  EXPECT_EQ(payloadOf(held, 2000), R"({"type":"Foo", "code":"-1", "data":"-1097"})");
}

TEST_F(DispatcherWithTokenThread, PollingConnectionsShareOnePresenceCheck) {
  Gate gate(thread_, record_);
  std::vector<testsupport::RawClient> pollers(4);
  for (auto& poller : pollers) {
    ASSERT_TRUE(poller.open(server_.port()));
    ASSERT_TRUE(poller.send(testsupport::textFrame(R"({"type":"GetDevState"})")));
  }
  // All four reach the queue before the thread is free; then each gets the one answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (thread_.queued() < pollers.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(thread_.queued(), pollers.size());
  gate.open();
  for (auto& poller : pollers) EXPECT_EQ(payloadOf(poller, 5000), expected::reply("GetDevState", "1", "0"));
  EXPECT_EQ(thread_.queued(), 0U);
}

}  // namespace
