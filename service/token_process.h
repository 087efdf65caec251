// SPDX-License-Identifier: MIT
// The daemon's side of the token process (token_child.h): has it started (token_starter.h), sends
// it jobs from the queue over their socketpair (one more descriptor on the loop), a few ahead of
// the one running so the child goes from one to the next without waiting for the daemon, and hands
// its answers back. When it ends (a crash, an exit, or killed for a call past token-call-timeout)
// the job it was running is answered as without a token, the queue goes on with a new process,
// and one line says what happened; a process that keeps dying at start is restarted after a
// growing pause.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "service/token_queue.h"
#include "service/token_starter.h"
#include "token/call_watch.h"

class TokenProcess {
 public:
  struct Settings {
    std::chrono::milliseconds callTimeout = std::chrono::seconds(30);  // zero: a call may take for ever
    std::chrono::milliseconds stuckAfter = std::chrono::seconds(10);   // a call this old is logged
    std::chrono::milliseconds tick = std::chrono::seconds(1);          // how often a running call is looked at
    // Jobs out at the child at once: the running one and those sent ahead. Each switch between the
    // two processes costs; with 6 out, the child runs several back to back per wake-up.
    std::size_t window = 6;
    void (*log)(const std::string& line) = nullptr;                    // lines for the operator
    // The starter has gone (killed from outside: it never runs the library): no token process can
    // be started any more. The daemon stops, to be started again by its service manager; without
    // this, token requests are answered as without a token from then on.
    void (*starterGone)() = nullptr;
  };

  // Loop thread, like every call below. Forks the starter (service/token_starter.h): whatever the
  // process gives up after this, its token processes keep.
  TokenProcess(asio::io_context& io, Settings settings);
  // Ends the token process and its starter, and waits for both.
  ~TokenProcess();
  TokenProcess(const TokenProcess&) = delete;
  TokenProcess& operator=(const TokenProcess&) = delete;

  // Starts the token process and waits until it has loaded the library. Empty when it did (or when
  // it died first, which counts as a crash and is handled as one); else why it could not, in the
  // dynamic loader's words.
  std::string start();

  // The library file the token process loaded (see skf::loadedPath), "unknown" before.
  const std::string& libraryPath() const { return libraryPath_; }
  // The running token process, 0 while there is none.
  pid_t pid() const { return pid_; }
  // Its parent, the daemon's child.
  pid_t starterPid() const { return starter_->pid(); }

  // Queues a job, or, while a crashing token process waits out its pause, answers it at once as
  // without a token.
  void submit(TokenJob job);
  // Jobs waiting (not running). Any thread.
  std::size_t queued() const { return queue_.queued(); }

 private:
  bool spawn();
  void read();
  void takeInput();
  void onAnswer(const std::string& data, std::int32_t code, std::uint32_t id);
  void pumpSoon();
  void yieldToChild();
  void endYield();
  void pump();
  void waitForEndings();
  void takeEndings(bool block);
  void lostStarter();
  void ended(int status);
  void startTicking();
  void look();
  void noteReturn();
  void endChild();

  asio::io_context& io_;
  Settings settings_;
  std::shared_ptr<char> life_ = std::make_shared<char>();  // handlers check it: none outlives us
  token::CallBoard* board_ = nullptr;                     // shared with the child; read-only here
  TokenQueue queue_;

  pid_t pid_ = 0;
  std::chrono::steady_clock::time_point startedAt_;
  unsigned generation_ = 0;  // counts children, so an old child's late read is told apart
  asio::posix::stream_descriptor socket_;
  std::array<char, 4096> readBuffer_{};
  std::string input_;
  std::unique_ptr<TokenStarter> starter_;
  asio::posix::stream_descriptor endings_;  // the starter's reports of ends, watched on the loop

  std::uint32_t lastId_ = 0;
  std::deque<std::uint32_t> sent_;  // ids of the jobs out, in order: the first one runs
  bool pumpPosted_ = false;
  pid_t yieldingThread_ = 0;  // the loop's thread while it runs as SCHED_BATCH, else 0
  bool endedForTimeout_ = false;
  std::optional<token::CallUnderWay> reportedStuck_;  // the call named as not returning

  asio::steady_timer tick_;
  bool ticking_ = false;
  asio::steady_timer restart_;
  bool restartPending_ = false;  // in the pause after quick deaths, or for good without a starter
  bool lostReported_ = false;
  int quickDeaths_ = 0;

  std::string libraryPath_ = "unknown";
};
