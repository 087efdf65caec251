// SPDX-License-Identifier: MIT
// The starter's loop, and the daemon's side of its two sockets. Both are SOCK_SEQPACKET: each
// record arrives whole, and a closed end reads as an empty one.
#include "service/token_starter.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <system_error>

#include "service/descriptors.h"
#include "service/process_title.h"
#include "service/token_child.h"

namespace {

enum class Command : std::int32_t { start = 1, kill = 2 };

struct Request {
  Command command;
  std::int32_t pid;  // kill: which one
};

struct StartReply {
  std::int32_t pid;    // the token process, or 0
  std::int32_t error;  // errno when pid is 0
};

struct EndRecord {
  std::int32_t pid;
  std::int32_t status;
};

ssize_t receiveRecord(int fd, void* record, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(fd, record, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool sendRecord(int fd, const void* record, std::size_t size) {
  ssize_t n;
  do {
    n = ::send(fd, record, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

// The reply to start, with the daemon's end of the new socket when there is one.
bool sendStarted(int fd, const StartReply& reply, int socket) {
  iovec part{const_cast<StartReply*>(&reply), sizeof reply};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (socket >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &socket, sizeof socket);
  }
  ssize_t n;
  do {
    n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof reply);
}

class Starter {
 public:
  Starter(int commands, int endings, token::CallBoard* board) : commands_(commands), endings_(endings), board_(board) {}

  [[noreturn]] void run() {
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &childEnded, nullptr);
    const int signals = ::signalfd(-1, &childEnded, SFD_CLOEXEC);
    if (signals < 0) ::_exit(1);
    for (;;) {
      pollfd watched[2] = {{commands_, POLLIN, 0}, {signals, POLLIN, 0}};
      if (::poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        finish();
      }
      if (watched[1].revents != 0) {
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) < 0 && errno == EINTR) {
        }
        reap();
      }
      if (watched[0].revents != 0) serve();
    }
  }

 private:
  void serve() {
    Request request{};
    const ssize_t n = receiveRecord(commands_, &request, sizeof request);
    if (n <= 0) finish();  // the daemon closed its end, or went away
    if (n != sizeof request) return;
    if (request.command == Command::kill) {
      if (live_.contains(request.pid)) ::kill(request.pid, SIGKILL);
    } else if (request.command == Command::start) {
      start();
    }
  }

  void start() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      sendStarted(commands_, {0, errno}, -1);
      return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      // Ends with the starter, which ends with the daemon.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
      if (::getppid() != parent) ::_exit(0);
      ::mprotect(board_, sizeof(token::CallBoard), PROT_READ | PROT_WRITE);
      board_->function.store(token::kNoCall);
      runTokenChild(fds[1], board_);
    }
    const int error = errno;
    ::close(fds[1]);
    if (pid < 0) {
      ::close(fds[0]);
      sendStarted(commands_, {0, error}, -1);
      return;
    }
    live_.insert(pid);
    const bool sent = sendStarted(commands_, {pid, 0}, fds[0]);
    ::close(fds[0]);
    if (!sent) finish();
  }

  void reap() {
    for (;;) {
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) return;
      live_.erase(pid);
      const EndRecord record{pid, status};
      if (!sendRecord(endings_, &record, sizeof record)) finish();
    }
  }

  [[noreturn]] void finish() {
    for (const pid_t pid : live_) ::kill(pid, SIGKILL);
    for (const pid_t pid : live_) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    ::_exit(0);
  }

  int commands_;
  int endings_;
  token::CallBoard* board_;
  std::set<pid_t> live_;
};

}  // namespace

TokenStarter::TokenStarter(token::CallBoard* board) {
  int commands[2];
  int endings[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, commands) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot start the token starter");
  }
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, endings) != 0) {
    const int error = errno;
    ::close(commands[0]);
    ::close(commands[1]);
    throw std::system_error(error, std::generic_category(), "cannot start the token starter");
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != parent) ::_exit(0);
    // The daemon's handlers write to its own descriptors, closed here; a stop of the unit reaches
    // the starter through the daemon's end (PR_SET_PDEATHSIG), after its token process.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_IGN);
    for (const int signal : {SIGALRM, SIGUSR1, SIGUSR2, SIGCHLD}) ::signal(signal, SIG_DFL);
    ::closelog();  // it logs nothing; its token processes open their own
    closeDescriptorsExcept({commands[1], endings[1]});
    setProcessTitle("tokenbridged: starter", "tokenbridged-st");
    Starter(commands[1], endings[1], board).run();
  }
  const int error = errno;
  ::close(commands[1]);
  ::close(endings[1]);
  if (pid < 0) {
    ::close(commands[0]);
    ::close(endings[0]);
    throw std::system_error(error, std::generic_category(), "cannot start the token starter");
  }
  pid_ = pid;
  commands_ = commands[0];
  endings_ = endings[0];
}

TokenStarter::~TokenStarter() {
  ::close(commands_);
  ::close(endings_);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::optional<TokenStarter::Started> TokenStarter::start() {
  const Request request{Command::start, 0};
  if (gone_ || !sendRecord(commands_, &request, sizeof request)) {
    gone_ = true;
    errno = ECHILD;
    return std::nullopt;
  }
  StartReply reply{};
  iovec part{&reply, sizeof reply};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(commands_, &message, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  int socket = -1;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int))) {
      std::memcpy(&socket, CMSG_DATA(header), sizeof socket);
    }
  }
  if (n != sizeof reply) {
    if (socket >= 0) ::close(socket);
    gone_ = true;
    errno = ECHILD;
    return std::nullopt;
  }
  if (reply.pid <= 0 || socket < 0) {
    if (socket >= 0) ::close(socket);
    errno = reply.error != 0 ? reply.error : EPROTO;
    return std::nullopt;
  }
  return Started{reply.pid, socket};
}

void TokenStarter::kill(pid_t pid) {
  const Request request{Command::kill, pid};
  if (!gone_ && !sendRecord(commands_, &request, sizeof request)) gone_ = true;
}

std::optional<TokenStarter::Ended> TokenStarter::takeEnding(bool block) {
  if (gone_) return std::nullopt;
  // Waits with poll, not a blocking read: the loop watches a duplicate of this descriptor, and
  // what it sets on its own (O_NONBLOCK) it sets on this one too.
  pollfd readable{endings_, POLLIN, 0};
  while (block && ::poll(&readable, 1, -1) < 0 && errno == EINTR) {
  }
  EndRecord record{};
  ssize_t n;
  do {
    n = ::recv(endings_, &record, sizeof record, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n != sizeof record) {
    gone_ = true;
    return std::nullopt;
  }
  return Ended{record.pid, record.status};
}
