// SPDX-License-Identifier: MIT
// The token process from the loop: start, jobs out, answers in, and what happens when it ends.
#include "service/token_process.h"

#include <sched.h>
#include <signal.h>
#include <string.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "service/token_wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A process that dies within this time of its start dies "quickly"; from the second quick death in
// a row, the next start waits 1 s, then 2, 4 ... up to the longest pause.
constexpr auto kQuickDeath = 1s;
constexpr auto kLongestPause = 30s;

std::string secondsText(Clock::duration d) {
  const auto ms = std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

std::string describe(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const char* name = sigabbrev_np(signal);
    return "was ended by signal " + std::to_string(signal) + (name != nullptr ? " (SIG" + std::string(name) + ")" : "");
  }
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

std::string where(const std::optional<token::CallUnderWay>& call) {
  if (!call) return "outside the library's functions";
  const std::string name = token::functionName(call->function);
  return call->function == token::kLoadingLibrary ? "while loading the library" : "in " + name;
}

}  // namespace

TokenProcess::TokenProcess(asio::io_context& io, Settings settings)
    : io_(io), settings_(settings), queue_(settings.window), socket_(io), endings_(io), tick_(io), restart_(io) {
  // One page, written by the child only: the daemon maps it read-only, so nothing the library does
  // there can change the daemon's memory; what it reads from it is bounded (token/call_watch.h).
  void* page = ::mmap(nullptr, sizeof(token::CallBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw std::bad_alloc();
  board_ = new (page) token::CallBoard();
  ::mprotect(page, sizeof(token::CallBoard), PROT_READ);
  starter_ = std::make_unique<TokenStarter>(board_);
  // A duplicate for the loop: the starter keeps reading (and closing) its own.
  endings_.assign(::fcntl(starter_->endings(), F_DUPFD_CLOEXEC, 0));
  waitForEndings();
}

TokenProcess::~TokenProcess() {
  life_.reset();
  endYield();
  asio::error_code ignored;
  endings_.close(ignored);
  starter_.reset();  // its token process is killed and waited for first
  socket_.close(ignored);
  ::munmap(board_, sizeof(token::CallBoard));
}

std::string TokenProcess::start() {
  if (!spawn()) return {};
  // Blocking until the child's first answer: the daemon does not report itself started before it
  // knows the library loads.
  std::string bytes;
  char buffer[1024];
  for (;;) {
    wire::Answer hello;
    std::size_t used = 0;
    const wire::Status status = wire::decode(bytes, &hello, &used);
    if (status == wire::Status::done && hello.id == wire::kHelloId) {
      if (hello.code != 0) {
        // The daemon does not start: the child goes without a word of its own.
        endChild();
        while (pid_ != 0 && !starter_->gone()) {
          const std::optional<TokenStarter::Ended> end = starter_->takeEnding(true);
          if (end && end->pid == pid_) pid_ = 0;
        }
        pid_ = 0;
        return hello.data;
      }
      libraryPath_ = hello.data;
      input_ = bytes.substr(used);
      read();
      return {};
    }
    if (status != wire::Status::incomplete) break;
    const ssize_t n = ::read(socket_.native_handle(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  // Died (or spoke nonsense) before loading: a crash like any other.
  endChild();
  takeEndings(true);
  return {};
}

bool TokenProcess::spawn() {
  const std::optional<TokenStarter::Started> started = starter_->start();
  if (!started) {
    if (starter_->gone()) {
      lostStarter();
    } else if (settings_.log != nullptr) {
      settings_.log(std::string("cannot start the token process: ") + std::strerror(errno));
    }
    return false;
  }
  pid_ = started->pid;
  startedAt_ = Clock::now();
  ++generation_;
  input_.clear();
  socket_.assign(started->socket);
  return true;
}

void TokenProcess::read() {
  socket_.async_read_some(asio::buffer(readBuffer_),
                          [this, life = std::weak_ptr<char>(life_), generation = generation_](asio::error_code error,
                                                                                              std::size_t n) {
                            if (life.expired() || generation != generation_ || error == asio::error::operation_aborted) {
                              return;
                            }
                            if (error) {
                              // The child closed its end: it is ending, or ends now.
                              endChild();
                              return;
                            }
                            input_.append(readBuffer_.data(), n);
                            takeInput();
                            if (generation != generation_ || pid_ == 0) return;
                            pump();  // once for every answer this read brought
                            read();
                          });
}

void TokenProcess::takeInput() {
  for (;;) {
    wire::Answer answer;
    std::size_t used = 0;
    const wire::Status status = wire::decode(input_, &answer, &used);
    if (status == wire::Status::incomplete) return;
    if (status == wire::Status::malformed) {
      if (settings_.log != nullptr) settings_.log("the token process sent a malformed message; it is ended");
      input_.clear();
      endChild();
      return;
    }
    input_.erase(0, used);
    onAnswer(answer.data, answer.code, answer.id);
  }
}

void TokenProcess::onAnswer(const std::string& data, std::int32_t code, std::uint32_t id) {
  if (id == wire::kHelloId) {
    // A restarted child: the library it loaded, or why it could not (it then exits).
    if (code == 0) {
      libraryPath_ = data;
    } else if (settings_.log != nullptr) {
      settings_.log("the token process cannot load the SKF library: " + data);
    }
    return;
  }
  if (sent_.empty() || id != sent_.front() || queue_.running() == nullptr) return;
  sent_.pop_front();
  noteReturn();
  queue_.finish(Outcome{code, data});
}

void TokenProcess::submit(TokenJob job) {
  if (restartPending_) {
    if (!job.waiter->abandoned()) job.waiter->answer(*job.row, withoutToken(*job.row));
    return;
  }
  queue_.push(std::move(job));
  pumpSoon();
}

// After the loop's current turn: the requests read in the same pass go out in one write, and
// presence checks among them share one call.
void TokenProcess::pumpSoon() {
  if (pumpPosted_) return;
  pumpPosted_ = true;
  asio::post(io_, [this, life = std::weak_ptr<char>(life_)] {
    if (life.expired()) return;
    pumpPosted_ = false;
    pump();
  });
}

// Sends what the window has room for. A job sent ahead of the running one waits in the child's
// socket: its connection may close meanwhile, and it then runs all the same (the window is small).
void TokenProcess::pump() {
  if (pid_ == 0) return;
  std::string bytes;
  while (const TokenJob* job = queue_.start()) {
    if (++lastId_ == wire::kHelloId) ++lastId_;
    if (!wire::encode(wire::Job{lastId_, rowIndex(*job->row), job->arguments}, bytes)) {
      queue_.finishLast(withoutToken(*job->row));
      continue;
    }
    sent_.push_back(lastId_);
  }
  if (bytes.empty()) return;
  // A few small jobs: the socket's buffer always has room, so one write is enough.
  const ssize_t n = ::send(socket_.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(bytes.size())) {
    endChild();  // the jobs are answered or sent again when the child is gone
    return;
  }
  yieldToChild();
  startTicking();
}

// The child and the loop share a core (the benchmark pins them; a busy machine does the same). An
// answer would wake the loop and preempt the child, and the next job would wake the child and
// preempt the loop: four switches between processes per job, each a TLB flush on a CPU without
// PCID. As SCHED_BATCH the loop does not preempt on its wake-up, so the child runs the jobs it has
// back to back and the loop takes all their answers in one turn. Only while there is token work
// (until a tick finds no job out): a token-free service keeps its usual wake-ups. A policy someone
// set stays. Best effort.
void TokenProcess::yieldToChild() {
  if (yieldingThread_ != 0 || ::sched_getscheduler(0) != SCHED_OTHER) return;
  const sched_param none{};
  if (::sched_setscheduler(0, SCHED_BATCH, &none) == 0) yieldingThread_ = ::gettid();
}

void TokenProcess::endYield() {
  if (yieldingThread_ == 0) return;
  const sched_param none{};
  ::sched_setscheduler(yieldingThread_, SCHED_OTHER, &none);
  yieldingThread_ = 0;
}

void TokenProcess::waitForEndings() {
  endings_.async_wait(asio::posix::descriptor_base::wait_read,
                      [this, life = std::weak_ptr<char>(life_)](asio::error_code error) {
                        if (life.expired() || error == asio::error::operation_aborted) return;
                        takeEndings(false);
                        if (!starter_->gone()) waitForEndings();
                      });
}

void TokenProcess::endChild() {
  if (pid_ != 0) starter_->kill(pid_);
}

// The ends the starter reported; block: until the running token process's is among them.
void TokenProcess::takeEndings(bool block) {
  while (!starter_->gone()) {
    const std::optional<TokenStarter::Ended> end = starter_->takeEnding(block && pid_ != 0);
    if (!end) break;
    if (end->pid == pid_) ended(end->status);
  }
  if (starter_->gone()) lostStarter();
}

void TokenProcess::lostStarter() {
  if (!lostReported_) {
    lostReported_ = true;
    if (settings_.log != nullptr) settings_.log("the token starter has gone: no token process can be started");
    if (settings_.starterGone != nullptr) settings_.starterGone();
  }
  // From now on as during a pause that never ends.
  restart_.cancel();
  restartPending_ = true;
  if (pid_ != 0) {
    pid_ = 0;
    ++generation_;
    asio::error_code ignored;
    socket_.close(ignored);
    sent_.clear();
    queue_.takeBackUnstarted();
    if (queue_.running() != nullptr) queue_.finish(withoutToken(*queue_.running()->row));
  }
  endYield();
  queue_.answerQueuedWithoutToken();
}

void TokenProcess::ended(int status) {
  const std::optional<token::CallUnderWay> call = token::callUnderWay(*board_);
  // What it wrote before it ended still counts: an answer may be waiting unread.
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(socket_.native_handle(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    input_.append(buffer, static_cast<std::size_t>(n));
  }
  const pid_t pid = pid_;
  pid_ = 0;  // nothing more is sent to it
  takeInput();
  ++generation_;
  asio::error_code ignored;
  socket_.close(ignored);
  input_.clear();
  reportedStuck_.reset();
  // Answers come in the order of the jobs, and the child runs one at a time: the first job without
  // an answer was running, the ones sent behind it never started.
  const bool running = !sent_.empty();
  sent_.clear();
  queue_.takeBackUnstarted();
  if (running && queue_.running() != nullptr) queue_.finish(withoutToken(*queue_.running()->row));

  const bool quick = Clock::now() - startedAt_ < kQuickDeath && !endedForTimeout_;
  quickDeaths_ = quick ? quickDeaths_ + 1 : 0;
  const std::chrono::seconds pause =
      quickDeaths_ < 2 ? 0s : std::min<std::chrono::seconds>(kLongestPause, std::chrono::seconds(1LL << (std::min(quickDeaths_, 8) - 2)));
  if (!endedForTimeout_ && settings_.log != nullptr) {
    std::string line = "token process " + std::to_string(pid) + " " + describe(status) + " " + where(call);
    if (running) line += "; its request was answered as without a token";
    line += pause == 0s ? "; a new one is started"
                        : "; a new one starts in " + std::to_string(pause.count()) +
                              " s, token requests are answered as without a token until then";
    settings_.log(line);
  }
  endedForTimeout_ = false;
  if (pause == 0s) {
    if (spawn()) read();
    pump();
    if (sent_.empty()) endYield();
    return;
  }
  endYield();
  restartPending_ = true;
  queue_.answerQueuedWithoutToken();
  restart_.expires_after(pause);
  restart_.async_wait([this, life = std::weak_ptr<char>(life_)](asio::error_code error) {
    if (life.expired() || error == asio::error::operation_aborted) return;
    restartPending_ = false;
    if (spawn()) read();
    pump();
  });
}

// Ticks while jobs are out (and while a call named as stuck has not returned). The tick that finds
// nothing out ends the loop's yield to the child: under steady token work the policy is switched
// once, not twice per round trip, and a service without token work is back to its usual wake-ups
// within a tick.
void TokenProcess::startTicking() {
  if (ticking_) return;
  ticking_ = true;
  tick_.expires_after(settings_.tick);
  tick_.async_wait([this, life = std::weak_ptr<char>(life_)](asio::error_code error) {
    if (life.expired() || error == asio::error::operation_aborted) return;
    ticking_ = false;
    look();
    if (sent_.empty()) endYield();
    if (!sent_.empty() || reportedStuck_) startTicking();
  });
}

// Once a tick while a job runs: a call that has not returned is named after stuckAfter, and its
// process ended after callTimeout.
void TokenProcess::look() {
  noteReturn();
  if (sent_.empty() || pid_ == 0) return;
  const std::optional<token::CallUnderWay> call = token::callUnderWay(*board_);
  if (!call) return;
  const Clock::duration waited = Clock::now() - call->since;
  const std::string name = token::functionName(call->function);
  if (waited >= settings_.stuckAfter && !reportedStuck_ && settings_.log != nullptr) {
    reportedStuck_ = call;
    settings_.log("token library call " + name + " has not returned for " + secondsText(waited) +
                  "; token requests wait until it does");
  }
  if (settings_.callTimeout.count() > 0 && waited >= settings_.callTimeout && !endedForTimeout_) {
    endedForTimeout_ = true;
    reportedStuck_.reset();
    if (settings_.log != nullptr) {
      settings_.log("token library call " + name + " has not returned for " + secondsText(waited) + ": token process " +
                    std::to_string(pid_) + " is ended (token-call-timeout), its request answered as without a token, " +
                    "and a new one started");
    }
    endChild();
  }
}

// The call named as not returning has returned (or another one runs): said once.
void TokenProcess::noteReturn() {
  if (!reportedStuck_) return;
  const std::optional<token::CallUnderWay> call = token::callUnderWay(*board_);
  if (call && call->serial == reportedStuck_->serial) return;
  if (settings_.log != nullptr) {
    settings_.log(std::string(token::functionName(reportedStuck_->function)) + " returned after " +
                  secondsText(Clock::now() - reportedStuck_->since));
  }
  reportedStuck_.reset();
}
