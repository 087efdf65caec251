// SPDX-License-Identifier: MIT
// The agent socket over a real Unix socket: what an agent reads and writes, who the kernel says it
// is, the remembered-decision requests, a misbehaving agent and the timeout. The loop runs in a
// thread of its own; the test reaches the board only through it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "service/consent/agent_socket.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A line-reading client of the socket, blocking with a deadline.
class AgentClient {
 public:
  explicit AgentClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~AgentClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void say(const std::string& line) { ASSERT_TRUE(trySay(line)); }
  // false when the daemon already closed the connection.
  bool trySay(const std::string& line) {
    const std::string text = line + "\n";
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // The next line, "EOF" when the daemon closed, "" when nothing came in time.
  std::string next(std::chrono::milliseconds wait = 3s) {
    for (;;) {
      const std::size_t end = buffered_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
      }
      pollfd one{fd_, POLLIN, 0};
      if (::poll(&one, 1, static_cast<int>(wait.count())) != 1) return "";
      char chunk[512];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return "EOF";
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffered_;
};

class AgentSocketTest : public ::testing::Test {
 protected:
  AgentSocketTest()
      : directory_(fs::temp_directory_path() / ("agent_socket_" + std::to_string(::getpid()))),
        store_(""),
        board_({consent::Mode::ask, 1s, 60s, 4}, store_),
        agents_(io_, board_, store_, [this](const consent::Effects::Finish& finish) {
          std::lock_guard lock(mutex_);
          finished_.push_back(finish);
        }) {
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    path_ = (directory_ / "agent.sock").string();
    std::ofstream(path_) << "stale socket file of an earlier run";
  }
  void SetUp() override {
    ASSERT_FALSE(agents_.listen(path_));
    thread_ = std::thread([this] {
      auto work = asio::make_work_guard(io_);
      io_.run();
    });
  }
  ~AgentSocketTest() override {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    fs::remove_all(directory_);
  }

  // A page connection of `origin` run by `uid`, admitted on the loop.
  std::string page(const std::string& origin, uid_t uid) {
    std::promise<std::string> said;
    asio::post(io_, [&] {
      consent::Effects effects;
      consent::TicketId ticket = 0;
      const consent::Admission admission = board_.admit(origin, false, uid, consent::Clock::now(), ticket, effects);
      agents_.apply(effects);
      said.set_value(admission == consent::Admission::serve    ? "serve"
                     : admission == consent::Admission::refuse ? "refuse"
                     : admission == consent::Admission::wait   ? "wait"
                                                               : "closed after its 101");
    });
    return said.get_future().get();
  }
  // The pages finished so far, as "serve", "4403" or "4408" each; waits up to 3 s for `count`.
  std::string finished(std::size_t count) {
    for (int i = 0; i < 300; ++i) {
      {
        std::lock_guard lock(mutex_);
        if (finished_.size() >= count) break;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& finish : finished_) {
      text += (text.empty() ? "" : " ") +
              std::string(finish.outcome == consent::Outcome::serve ? "serve" : finish.outcome == consent::Outcome::blocked ? "4403" : "4408");
    }
    return text;
  }
  // Connected agents become visible to the board once the loop has accepted them.
  void settle() { std::this_thread::sleep_for(100ms); }

  fs::path directory_;
  std::string path_;
  asio::io_context io_;
  consent::Store store_;
  consent::Board board_;
  AgentSocket agents_;
  std::vector<std::unique_ptr<AgentSocket>> extra_;  // more sockets on the loop, gone after it stops
  std::thread thread_;
  std::mutex mutex_;
  std::vector<consent::Effects::Finish> finished_;
};

TEST_F(AgentSocketTest, ReplacesAStaleFileAndAnyUserMayConnect) {
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
}

TEST_F(AgentSocketTest, ASocketInUseIsNotTakenOver) {
  AgentSocket second(io_, board_, store_, [](const consent::Effects::Finish&) {});
  EXPECT_EQ(second.listen(path_), std::make_error_code(std::errc::address_in_use));
  AgentClient agent(path_);  // still served by the first
  ASSERT_TRUE(agent.connected());
  agent.say(R"({"list":true})");
  EXPECT_EQ(agent.next(), R"({"remembered":[]})");
}

TEST_F(AgentSocketTest, AnAgentIsAskedAnswersAndManagesItsRememberedDecisions) {
  AgentClient agent(path_);
  ASSERT_TRUE(agent.connected());
  settle();
  const uid_t me = ::geteuid();
  ASSERT_EQ(page("https://a.example", me), "wait");
  EXPECT_EQ(agent.next(), R"({"ask":"1","origin":"https://a.example"})");
  agent.say(R"({"answer":"1","decision":"maybe","remember":true})");
  EXPECT_EQ(agent.next(), R"({"error":"decision must be \"allow\" or \"block\""})");
  agent.say(R"({"answer":"1","decision":"allow","remember":true})");
  EXPECT_EQ(finished(1), "serve");
  EXPECT_EQ(page("https://a.example", me), "serve");

  AgentClient command(path_);
  command.say(R"({"list":true})");
  EXPECT_EQ(command.next(), R"({"remembered":[{"decision":"allow","origin":"https://a.example"}]})");
  command.say(R"({"forget":"https://a.example"})");
  EXPECT_EQ(command.next(), R"({"forgot":"https://a.example","found":true})");
  command.say(R"({"forget":"https://a.example"})");
  EXPECT_EQ(command.next(), R"({"forgot":"https://a.example","found":false})");
  command.say(R"({"hello":1})");
  EXPECT_EQ(command.next(), R"({"error":"expected answer, list or forget"})");

  // The command connection is asked nothing; the agent is asked again now that it forgot.
  ASSERT_EQ(page("https://a.example", me), "wait");
  EXPECT_EQ(agent.next(), R"({"ask":"2","origin":"https://a.example"})");
  EXPECT_EQ(command.next(200ms), "");
}

TEST_F(AgentSocketTest, AHostileLineEndsThatAgentOnlyAndTheOthersStayServed) {
  // Wrong types get an error line; lines that are no flat object end that connection only.
  const struct {
    std::string line;
    std::string reply;
  } cases[] = {
      {R"({"answer":"1","decision":[]})", R"({"error":"decision must be \"allow\" or \"block\""})"},
      {R"({"answer":"9","decision":"allow","remember":"yes"})", R"({"error":"remember must be true or false"})"},
      {"{\"a\":" + std::string(1100, '[') + std::string(1100, ']') + "}", "EOF"},
      {"[]", "EOF"},
      {std::string(20000, 'x'), "EOF"},
  };
  for (const auto& c : cases) {
    AgentClient stranger(path_);
    ASSERT_TRUE(stranger.connected());
    stranger.say(c.line);
    EXPECT_EQ(stranger.next(), c.reply) << c.line.substr(0, 60);
  }
  AgentClient agent(path_);
  ASSERT_TRUE(agent.connected());
  settle();
  ASSERT_EQ(page("https://a.example", ::geteuid()), "wait");
  EXPECT_EQ(agent.next(), R"({"ask":"1","origin":"https://a.example"})");
  agent.say(R"({"answer":"1","decision":"block"})");
  EXPECT_EQ(finished(1), "4403");
}

TEST_F(AgentSocketTest, TheKernelNamesTheAgentsUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  int lines[2];
  ASSERT_EQ(::pipe(lines), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // As user 4242: connect, hand the first line read to the test, wait to be killed.
    if (::setgid(4242) != 0 || ::setuid(4242) != 0) ::_exit(1);
    AgentClient agent(path_);
    const std::string line = agent.next(5s) + "\n";
    if (::write(lines[1], line.data(), line.size()) < 0) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(lines[1]);
  settle();
  EXPECT_EQ(page("https://a.example", ::geteuid()), "serve") << "no agent for this user";
  EXPECT_EQ(page("https://a.example", 4242), "wait");
  char buffer[256] = {};
  EXPECT_GT(::read(lines[0], buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(std::string(buffer), "{\"ask\":\"1\",\"origin\":\"https://a.example\"}\n");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(lines[0]);
  EXPECT_EQ(finished(1), "4408") << "its only agent gone, the page is not left waiting";
}

TEST_F(AgentSocketTest, NoAnswerInTimeWithdrawsTheQuestionAndTimesThePageOut) {
  AgentClient agent(path_);
  settle();
  ASSERT_EQ(page("https://a.example", ::geteuid()), "wait");
  EXPECT_EQ(agent.next(), R"({"ask":"1","origin":"https://a.example"})");
  EXPECT_EQ(agent.next(), R"({"withdraw":"1"})");
  EXPECT_EQ(finished(1), "4408");
}

TEST_F(AgentSocketTest, AnAgentThatSpeaksNoJsonOrOverlongLinesIsDisconnected) {
  for (const std::string& bad : {std::string("not json"), std::string(20000, 'x')}) {
    SCOPED_TRACE(bad.substr(0, 10));
    AgentClient agent(path_);
    settle();
    agent.say(bad);
    EXPECT_EQ(agent.next(), "EOF");
  }
}

TEST_F(AgentSocketTest, WithNoDescriptorLeftAWaitingAgentCostsNoSpinAndIsTakenLater) {
  // The descriptor table full but for the agent's own socket, which then waits in the backlog.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) highest = std::max(highest, std::stoi(entry.path().filename()));
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest + 8);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  ASSERT_FALSE(fillers.empty());
  ::close(fillers.back());
  fillers.pop_back();
  auto agent = std::make_unique<AgentClient>(path_);
  ASSERT_TRUE(agent->connected());

  const auto cpu = [] {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
  };
  const double before = cpu();
  std::this_thread::sleep_for(1500ms);
  const double used = cpu() - before;
  for (const int fd : fillers) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  std::printf("CPU while the table was full: %.3f s in 1.5 s\n", used);
  EXPECT_LT(used, 0.15) << "the accept spun";

  // Descriptors free again: the waiting agent is taken within the pause and asked.
  std::this_thread::sleep_for(700ms);
  ASSERT_EQ(page("https://a.example", ::geteuid()), "wait");
  EXPECT_EQ(agent->next(), R"({"ask":"1","origin":"https://a.example"})");
}

TEST_F(AgentSocketTest, AnAgentThatDoesNotReadItsRepliesIsDroppedNotKept) {
  // 40,000 list requests, no reply read: far more than the socket's buffers and the 64 KiB allowed.
  AgentClient greedy(path_);
  ASSERT_TRUE(greedy.connected());
  std::string lines;
  for (int i = 0; i < 40000; ++i) lines += "{\"list\":true}\n";
  std::size_t sent = 0;
  while (sent < lines.size()) {
    const ssize_t n = ::send(greedy.fd(), lines.data() + sent, lines.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // dropped meanwhile
    sent += static_cast<std::size_t>(n);
  }
  int replies = 0;
  std::string line;
  while ((line = greedy.next()) == R"({"remembered":[]})") ++replies;
  EXPECT_EQ(line, "EOF");
  EXPECT_LT(replies, 40000);
  std::printf("dropped after %d replies (%zu bytes of requests taken)\n", replies, sent);

  AgentClient agent(path_);  // the others are served as before
  agent.say(R"({"list":true})");
  EXPECT_EQ(agent.next(), R"({"remembered":[]})");
}

TEST_F(AgentSocketTest, ConnectionsBeyondTheUsersShareOrTheTotalAreClosedAtOnce) {
  const struct {
    const char* name;
    AgentLimits limits;
  } cases[] = {{"per user", {2, 64, 64 * 1024}}, {"in all", {4, 2, 64 * 1024}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (directory_ / (std::string(c.name) + ".sock")).string();
    std::promise<std::error_code> listening;
    asio::post(io_, [&] {
      extra_.push_back(std::make_unique<AgentSocket>(io_, board_, store_, [](const consent::Effects::Finish&) {}, c.limits));
      listening.set_value(extra_.back()->listen(path));
    });
    ASSERT_FALSE(listening.get_future().get());
    std::vector<std::unique_ptr<AgentClient>> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(std::make_unique<AgentClient>(path));
      clients.back()->trySay(R"({"list":true})");  // the third may find itself closed already
    }
    EXPECT_EQ(clients[0]->next(), R"({"remembered":[]})");
    EXPECT_EQ(clients[1]->next(), R"({"remembered":[]})");
    EXPECT_EQ(clients[2]->next(), "EOF");
    clients[0].reset();  // a place freed is taken again
    settle();
    AgentClient later(path);
    later.say(R"({"list":true})");
    EXPECT_EQ(later.next(), R"({"remembered":[]})");
  }
}

}  // namespace
