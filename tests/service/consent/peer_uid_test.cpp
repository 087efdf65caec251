// SPDX-License-Identifier: MIT
// The peer's user over real loopback connections made by programs running as other users.
// Needs root (to start them with setpriv) and its own network namespace like every listening test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "service/consent/peer_uid.h"

namespace {

struct Listener {
  int fd = -1;
  sockaddr_storage address{};
  explicit Listener(int family) {
    fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (family == AF_INET) {
      auto& in = reinterpret_cast<sockaddr_in&>(address);
      in.sin_family = AF_INET;
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = in6addr_loopback;
    }
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0) {
      ::close(fd);
      fd = -1;
      return;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  std::uint16_t port() const { return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port); }
};

// A shell running as `uid` that connects to the port and holds the connection until killed.
pid_t connectAs(uid_t uid, const std::string& host, std::uint16_t port) {
  const std::string script = "exec 3<>/dev/tcp/" + host + "/" + std::to_string(port) + " && exec sleep 30";
  const std::string reuid = "--reuid=" + std::to_string(uid);
  const std::string regid = "--regid=" + std::to_string(uid);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execlp("setpriv", "setpriv", reuid.c_str(), regid.c_str(), "--clear-groups", "bash", "-c", script.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

void stop(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

struct Ends {
  sockaddr_storage peer{};
  sockaddr_storage local{};
};

Ends endsOf(int accepted) {
  Ends ends;
  socklen_t length = sizeof ends.peer;
  ::getpeername(accepted, reinterpret_cast<sockaddr*>(&ends.peer), &length);
  length = sizeof ends.local;
  ::getsockname(accepted, reinterpret_cast<sockaddr*>(&ends.local), &length);
  return ends;
}

// Under a user-mode emulator the netlink request goes through its system call translation, which
// this lookup has not been checked against: the native build runs it.
bool underEmulator() { return std::string(TARGET_EMULATOR) != ""; }

TEST(PeerUid, TheOwnerOfTheOtherEndOverIPv4AndIPv6) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start clients as other users";
  if (underEmulator()) GTEST_SKIP() << "native builds only";
  struct Case {
    int family;
    const char* host;
    uid_t uid;
  };
  for (const Case& test : {Case{AF_INET, "127.0.0.1", 65534}, Case{AF_INET6, "::1", 4242}}) {
    SCOPED_TRACE(test.host);
    Listener listener(test.family);
    ASSERT_GE(listener.fd, 0) << "no loopback for this family";
    const pid_t client = connectAs(test.uid, test.host, listener.port());
    const int accepted = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    const Ends ends = endsOf(accepted);
    EXPECT_EQ(consent::peerUid(ends.peer, ends.local), test.uid);

    // Once the client's program is gone its socket has no owner to report.
    stop(client);
    EXPECT_EQ(consent::peerUid(ends.peer, ends.local), std::nullopt);
    ::close(accepted);
  }
}

TEST(PeerUid, NoAnswerForEndsThatAreNoConnection) {
  Listener listener(AF_INET);
  ASSERT_GE(listener.fd, 0);
  sockaddr_storage nowhere = listener.address;
  reinterpret_cast<sockaddr_in&>(nowhere).sin_port = htons(1);
  EXPECT_EQ(consent::peerUid(nowhere, listener.address), std::nullopt) << "no such connection";

  Listener six(AF_INET6);
  ASSERT_GE(six.fd, 0);
  EXPECT_EQ(consent::peerUid(listener.address, six.address), std::nullopt) << "families differ";
  sockaddr_storage unix{};
  unix.ss_family = AF_UNIX;
  EXPECT_EQ(consent::peerUid(unix, unix), std::nullopt) << "not TCP";
}

}  // namespace
