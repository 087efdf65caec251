// SPDX-License-Identifier: MIT
// The token process's life: set-up after the fork, then read a job, run its row, write the answer.
#include "service/token_child.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "service/descriptors.h"
#include "service/file_text.h"
#include "service/log.h"
#include "service/process_title.h"
#include "service/request_rows.h"
#include "service/socket_filter.h"
#include "service/token_wire.h"
#include "token/skf_library.h"
#include "token/warnings.h"

namespace {

void resetSignals() {
  for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGALRM, SIGUSR1, SIGUSR2}) ::signal(signal, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool send(int fd, const wire::Answer& answer) {
  std::string bytes;
  return wire::encode(answer, bytes) && writeAll(fd, bytes);
}

// Reply data of failures that are not the command's own (code -1, as the dispatcher's errors).
constexpr char kNoMemory[] = "-1099";
constexpr char kUnknownType[] = "-1097";

wire::Answer run(const wire::Job& job) {
  const Row* row = rowAt(job.row);
  if (row == nullptr) return {job.id, -1, kUnknownType};
  try {
    Outcome outcome = row->run(job.arguments);
    return {job.id, outcome.code, std::move(outcome.data)};
  } catch (const std::bad_alloc&) {
    return {job.id, -1, kNoMemory};
  }
}

[[noreturn]] void serve(int fd) {
  std::string input;
  char buffer[4096];
  for (;;) {
    wire::Job job;
    std::size_t used = 0;
    const wire::Status status = wire::decode(input, &job, &used);
    if (status == wire::Status::malformed) ::_exit(2);
    if (status == wire::Status::done) {
      input.erase(0, used);
      if (!send(fd, run(job))) ::_exit(0);
      continue;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(0);  // the daemon closed the socket or went away
    input.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

void runTokenChild(int socket, token::CallBoard* board) {
  // Ends with the daemon, even if the socket's close were missed.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  resetSignals();
  ::closelog();  // its descriptor is the daemon's; the next line opens one of our own
  closeDescriptorsExcept({socket});
  openLog();  // before the title: the log's default name would be read from the overwritten arguments
  setProcessTitle("tokenbridged: token", "tokenbridged-tk");
  // A job sent does not preempt the daemon's turn: the child runs once the daemon has sent all
  // it had and waits (fewer switches between the two on a shared core). Its calls wait on the
  // device anyway. A policy the operator set (inherited) stays; best effort.
  if (const sched_param none{}; ::sched_getscheduler(0) == SCHED_OTHER) ::sched_setscheduler(0, SCHED_BATCH, &none);
  // Before the library is loaded: nothing of it runs unconfined.
  if (const std::string why = refuseInternetSockets(); why.empty()) {
    logInfo("token process: Internet sockets refused (seccomp filter)");
  } else {
    logWarning("token process: runs without its socket filter: " + why);
  }
  token::setWarningSink(logWarning);
  token::setCallBoard(board);
  token::markLoading();
  const std::string error = skf::load();
  token::markReturned();
  if (!error.empty()) {
    send(socket, {wire::kHelloId, 1, error.substr(0, 1024)});
    ::_exit(1);
  }
  if (!send(socket, {wire::kHelloId, 0, skf::loadedPath().substr(0, 1024)})) ::_exit(0);
  serve(socket);
}
