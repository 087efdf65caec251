// SPDX-License-Identifier: MIT
// The token queue: arrival order, one presence check for all waiting, and jobs of closed
// connections dropped without a call, the queue bounded by the live ones.
#include "service/token_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// The outcomes the waiters of one test got, in order: "<waiter>=<data>".
struct Record {
  std::vector<std::string> answers;
};

class RecordingWaiter : public TokenWaiter {
 public:
  RecordingWaiter(Record& record, std::string name, std::shared_ptr<bool> gone)
      : record_(record), name_(std::move(name)), gone_(std::move(gone)) {}
  bool abandoned() const override { return *gone_; }
  void answer(const Row&, const Outcome& outcome) override { record_.answers.push_back(name_ + "=" + outcome.data); }

 private:
  Record& record_;
  std::string name_;
  std::shared_ptr<bool> gone_;
};

const Row& kCheck = *findRow("GetDevState");
const Row& kPin = *findRow("VerifyUserPin");

TokenJob job(Record& record, const std::string& name, const Row& row = kPin,
             std::shared_ptr<bool> gone = std::make_shared<bool>(false)) {
  return TokenJob{.row = &row, .arguments = {name}, .waiter = std::make_unique<RecordingWaiter>(record, name, gone)};
}

// Runs the queue as the token process does, each job's outcome data naming the job that ran:
// returns the jobs run, in order.
std::vector<std::string> runAll(TokenQueue& queue) {
  std::vector<std::string> calls;
  while (const TokenJob* next = queue.start()) {
    calls.push_back(next->arguments[0]);
    queue.finish(Outcome{0, "reply of " + next->arguments[0]});
  }
  return calls;
}

TEST(TokenQueue, RunsJobsInArrivalOrderEachAnsweredWithItsOwnReply) {
  Record record;
  TokenQueue queue;
  for (const char* name : {"a", "b", "c"}) queue.push(job(record, name));
  EXPECT_EQ(runAll(queue), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"a=reply of a", "b=reply of b", "c=reply of c"}));
}

TEST(TokenQueue, OneAtATime) {
  Record record;
  TokenQueue queue;
  queue.push(job(record, "a"));
  queue.push(job(record, "b"));
  ASSERT_NE(queue.start(), nullptr);
  EXPECT_EQ(queue.start(), nullptr);  // a runs: nothing else starts until it is finished
  EXPECT_EQ(queue.queued(), 1U);
}

TEST(TokenQueue, OnePresenceCheckAnswersEveryCheckWaitingWhenItIsTaken) {
  Record record;
  TokenQueue queue;
  queue.push(job(record, "check1", kCheck));
  queue.push(job(record, "pin"));
  queue.push(job(record, "check2", kCheck));
  queue.push(job(record, "check3", kCheck));
  // check1's one call serves check2 and check3; the other job still runs on its own, after them.
  EXPECT_EQ(runAll(queue), (std::vector<std::string>{"check1", "pin"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"check1=reply of check1", "check2=reply of check1",
                                                      "check3=reply of check1", "pin=reply of pin"}));
}

TEST(TokenQueue, PresenceChecksQueuedAfterTheTakenOneAreNotServedByIt) {
  Record record;
  TokenQueue queue;
  queue.push(job(record, "first", kCheck));
  ASSERT_NE(queue.start(), nullptr);
  // Queued while the check runs: the token may have changed since it started, so it checks again.
  queue.push(job(record, "later", kCheck));
  queue.finish(Outcome{0, "before"});
  EXPECT_EQ(runAll(queue), (std::vector<std::string>{"later"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"first=before", "later=reply of later"}));
}

TEST(TokenQueue, DropsJobsOfClosedConnectionsWithoutCallingAndKeepsTheQueueBounded) {
  Record record;
  TokenQueue queue;
  queue.push(job(record, "gate"));
  ASSERT_NE(queue.start(), nullptr);
  auto gone = std::make_shared<bool>(false);
  queue.push(job(record, "closedBeforeItsTurn", kPin, gone));
  queue.push(job(record, "closedCheck", kCheck, gone));
  *gone = true;
  // A page that reconnects again and again while the token is busy: each closed job goes at the next push.
  for (int i = 0; i < 100; ++i) {
    queue.push(job(record, "abandoned", kPin, std::make_shared<bool>(true)));
    EXPECT_LE(queue.queued(), 1U);
  }
  queue.push(job(record, "live", kCheck));
  queue.push(job(record, "liveToo"));
  EXPECT_EQ(queue.queued(), 2U);
  queue.finish(Outcome{0, "gate"});
  EXPECT_EQ(runAll(queue), (std::vector<std::string>{"live", "liveToo"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"gate=gate", "live=reply of live", "liveToo=reply of liveToo"}));
}

// With a window, jobs go out ahead of the running one, in order, up to the window; a presence
// check waits until nothing is out so that the checks arriving meanwhile share it.
TEST(TokenQueue, AWindowSendsJobsAheadButNoPresenceCheck) {
  Record record;
  TokenQueue queue(3);
  for (const char* name : {"a", "b", "c", "d"}) queue.push(job(record, name));
  std::vector<std::string> out;
  while (const TokenJob* next = queue.start()) out.push_back(next->arguments[0]);
  EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(queue.out(), 3U);
  EXPECT_EQ(queue.running()->arguments[0], "a");
  queue.finish(Outcome{0, "1"});
  EXPECT_EQ(queue.running()->arguments[0], "b");
  queue.push(job(record, "check1", kCheck));
  queue.push(job(record, "e"));
  ASSERT_NE(queue.start(), nullptr);  // d
  EXPECT_EQ(queue.start(), nullptr) << "the window is full";
  queue.finish(Outcome{0, "2"});
  queue.finish(Outcome{0, "3"});
  EXPECT_EQ(queue.start(), nullptr) << "a check waits while d is out, and e waits behind it";
  queue.push(job(record, "check2", kCheck));
  queue.finish(Outcome{0, "4"});
  ASSERT_NE(queue.start(), nullptr);
  EXPECT_EQ(queue.start()->arguments[0], "e") << "a job may go out behind a running check";
  EXPECT_EQ(queue.start(), nullptr);
  queue.finish(Outcome{0, "5"});
  queue.finish(Outcome{0, "6"});
  EXPECT_EQ(record.answers, (std::vector<std::string>{"a=1", "b=2", "c=3", "d=4", "check1=5", "check2=5", "e=6"}));
}

// The token process ended: the running job is answered, the ones out behind it never started and
// go out again first, in their order, the jobs of closed connections among them dropped.
TEST(TokenQueue, JobsSentAheadGoBackUnrunWhenTheProcessEnds) {
  Record record;
  TokenQueue queue(3);
  auto gone = std::make_shared<bool>(false);
  queue.push(job(record, "running"));
  queue.push(job(record, "ahead1"));
  queue.push(job(record, "closedAhead", kPin, gone));
  queue.push(job(record, "queued"));
  for (int i = 0; i < 3; ++i) ASSERT_NE(queue.start(), nullptr);
  *gone = true;
  queue.takeBackUnstarted();
  EXPECT_EQ(queue.out(), 1U);
  EXPECT_EQ(queue.queued(), 3U);
  queue.finish(withoutToken(kPin));
  EXPECT_EQ(runAll(queue), (std::vector<std::string>{"ahead1", "queued"}));
  EXPECT_EQ(record.answers, (std::vector<std::string>{"running=0", "ahead1=reply of ahead1", "queued=reply of queued"}));
}

// A job that cannot be sent (start() took it) is answered on its own; the one running is not.
TEST(TokenQueue, FinishLastAnswersTheJobTakenLast) {
  Record record;
  TokenQueue queue(2);
  queue.push(job(record, "running"));
  queue.push(job(record, "unsendable"));
  ASSERT_NE(queue.start(), nullptr);
  ASSERT_NE(queue.start(), nullptr);
  queue.finishLast(Outcome{0, "no"});
  EXPECT_EQ(record.answers, (std::vector<std::string>{"unsendable=no"}));
  EXPECT_EQ(queue.running()->arguments[0], "running");
  EXPECT_EQ(queue.out(), 1U);
}

// A token process that ended mid-call, or one in its pause: each job gets its row's reply
// without a token (the README table), the running one included.
TEST(TokenQueue, WithoutATokenEachJobGetsItsRowsNoTokenReply) {
  Record record;
  TokenQueue queue;
  queue.push(job(record, "running", kCheck));
  ASSERT_NE(queue.start(), nullptr);
  for (const char* type : {"OpenDevice", "VerifyUserPin", "ChangeUserPin", "GetUserName", "ZPSHA1", "CloseDevice"}) {
    queue.push(job(record, type, *findRow(type)));
  }
  queue.push(job(record, "closed", kPin, std::make_shared<bool>(true)));
  queue.finishWithoutToken();
  EXPECT_EQ(record.answers, (std::vector<std::string>{"running=0", "OpenDevice=FALSE", "VerifyUserPin=0",
                                                      "ChangeUserPin=-1", "GetUserName=", "ZPSHA1=", "CloseDevice="}));
  EXPECT_EQ(queue.queued(), 0U);
  EXPECT_EQ(queue.start(), nullptr);
}

}  // namespace
