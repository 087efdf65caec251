// SPDX-License-Identifier: MIT
// The network process's confinement applied, as the daemon applies it, in a forked child of the
// test: what it still may do (its consent files, /dev/null, its own /proc entries, removing the
// agent socket) and what it no longer may (devices, library folders, other files, TCP out).
#include "service/file_confinement.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// 0 when it worked, else the errno.
int result(bool worked) { return worked ? 0 : errno; }

int readable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return result(fd >= 0);
}

int writable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return result(fd >= 0);
}

int listable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return result(fd >= 0);
}

int created(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const bool written = ::write(fd, "1\n", 2) == 2;
  ::close(fd);
  return result(written);
}

int tcpConnect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int error = result(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
  ::close(fd);
  return error;
}

class FileConfinement : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "confinement-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/consent");
    std::filesystem::create_directories(root_ + "/run");
    std::filesystem::create_directories(root_ + "/library");
    std::ofstream(root_ + "/consent/1000") << "https://a.example allow\n";
    std::ofstream(root_ + "/run/agent.sock") << "";
    std::ofstream(root_ + "/library/libkv_5100rt.so") << "";
    std::ofstream(root_ + "/other") << "";
    // A listener of the test's own, for the connect that the confinement refuses.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener_, 4), 0);
    ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port_ = ntohs(address.sin_port);
  }

  void TearDown() override {
    ::close(listener_);
    std::filesystem::remove_all(root_);
  }

  // Confines a child as the network process is, runs every check there and returns what each gave
  // (an errno, 0 for success); "abi" and "why" say how the confinement went.
  std::map<std::string, std::string> inConfinedChild(const std::vector<std::pair<std::string, std::function<int()>>>& checks) {
    int pipe[2];
    EXPECT_EQ(::pipe(pipe), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipe[0]);
      const confine::Result confined =
          confine::confineTo(confine::networkProcessAccess(root_ + "/consent", root_ + "/run/agent.sock"));
      std::string out = "abi=" + std::to_string(confined.abi) + "\ntcp=" + std::to_string(confined.tcp) +
                        "\nwhy=" + confined.why + "\n";
      for (const auto& [name, check] : checks) out += name + "=" + std::to_string(check()) + "\n";
      const bool written = ::write(pipe[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
      ::_exit(written ? 0 : 1);
    }
    ::close(pipe[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::map<std::string, std::string> results;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) results[line.substr(0, equals)] = line.substr(equals + 1);
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return results;
  }

  std::string root_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(FileConfinement, NetworkProcessKeepsItsConsentFilesAndLosesDevicesLibrariesAndTcpOut) {
  const std::string consent = root_ + "/consent";
  const std::string ok = "0";
  const std::string denied = std::to_string(EACCES);
  struct Case {
    std::string name;
    std::function<int()> check;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"read a decisions file", [&] { return readable(consent + "/1000"); }, ok},
      {"list the consent folder", [&] { return listable(consent); }, ok},
      {"write a new decisions file and rename it into place",
       [&] {
         const int error = created(consent + "/.1001.new");
         return error != 0 ? error : result(::rename((consent + "/.1001.new").c_str(), (consent + "/1001").c_str()) == 0);
       },
       ok},
      {"remove a decisions file", [&] { return result(::unlink((consent + "/1000").c_str()) == 0); }, ok},
      {"remove the agent socket", [&] { return result(::unlink((root_ + "/run/agent.sock").c_str()) == 0); }, ok},
      {"write /dev/null", [] { return writable("/dev/null"); }, ok},
      {"read its own status", [] { return readable("/proc/self/status"); }, ok},
      {"read /dev/zero", [] { return readable("/dev/zero"); }, denied},
      {"list /dev", [] { return listable("/dev"); }, denied},
      {"read the library", [&] { return readable(root_ + "/library/libkv_5100rt.so"); }, denied},
      {"list /usr/lib", [] { return listable("/usr/lib"); }, denied},
      {"read /etc/passwd", [] { return readable("/etc/passwd"); }, denied},
      {"read a file beside the consent folder", [&] { return readable(root_ + "/other"); }, denied},
      {"make a file in the agent socket's folder", [&] { return created(root_ + "/run/x"); }, denied},
      {"make a folder in the consent folder", [&] { return result(::mkdir((consent + "/d").c_str(), 0700) == 0); },
       denied},
  };
  std::vector<std::pair<std::string, std::function<int()>>> checks;
  for (const Case& c : cases) checks.emplace_back(c.name, c.check);
  checks.emplace_back("connect over TCP", [this] { return tcpConnect(port_); });
  const std::map<std::string, std::string> results = inConfinedChild(checks);
  if (results.at("abi") == "0") GTEST_SKIP() << results.at("why");
  for (const Case& c : cases) EXPECT_EQ(results.at(c.name), c.expected) << c.name;
  // TCP from Landlock version 4 on.
  EXPECT_EQ(results.at("connect over TCP"), results.at("tcp") == "1" ? denied : ok);
}

}  // namespace
