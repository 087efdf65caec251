// SPDX-License-Identifier: MIT
// The real daemon asking the person at the screen: the test is the users' agents (it speaks their
// protocol on the agent socket as the user each one belongs to) and runs each page as a process of
// another user. Needs root (to be those users) and a network namespace of its own (port 9446).
#include <gtest/gtest.h>

#include <json/json.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/daemon_control.h"
#include "tests/support/target_program.h"
#include "tests/support/ws_client.h"

namespace {

using namespace std::chrono_literals;
using testdaemon::kServicePort;

constexpr uid_t kAlice = 61001;
constexpr uid_t kBob = 61002;
constexpr char kSite[] = "https://site.example";

// Reads one line from a descriptor within the time; none on timeout or end of stream.
std::optional<std::string> readLine(int fd, std::string& buffered, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t newline = buffered.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char chunk[512];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered.append(chunk, static_cast<std::size_t>(n));
  }
}

// One user's agent, connected as that user (the daemon takes the uid from the socket).
class Agent {
 public:
  Agent(const std::string& path, uid_t uid) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    // The kernel records the effective uid at connect().
    if (::seteuid(uid) != 0) return;
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (::seteuid(0) != 0) std::abort();
  }
  ~Agent() { ::close(fd_); }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  bool connected() const { return connected_; }

  // The next line from the daemon as JSON; null when none came within the time.
  Json::Value next(int timeoutMs = 3000) {
    const std::optional<std::string> line = readLine(fd_, buffered_, timeoutMs);
    Json::Value value;
    if (line) Json::Reader().parse(*line, value);
    return value;
  }
  // The id of the question that must come next, for this origin; "" otherwise.
  std::string asked(const std::string& origin) {
    const Json::Value line = next();
    return line["origin"].asString() == origin ? line["ask"].asString() : "";
  }
  void answer(const std::string& question, const char* decision, bool remember) {
    Json::Value line(Json::objectValue);
    line["answer"] = question;
    line["decision"] = decision;
    line["remember"] = remember;
    const std::string text = Json::FastWriter().write(line);  // ends with '\n'
    ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffered_;
};

// A page of `origin` (empty: a program sending no Origin) in a browser run by `uid`: a process of that user that upgrades, reports the
// answer ("101", "403", ...), sends one request and reports what came back ("reply" or
// "close CODE"). Reports arrive over a pipe in that order.
class Page {
 public:
  // `halfClosed`: the page sends its upgrade and one request at once and shuts its sending side,
  // so by the time the daemon looks its user up the connection is no longer established.
  Page(uid_t uid, const std::string& origin, bool halfClosed = false) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(2);
      if (halfClosed) {
        runHalfClosed(fds[1], origin);
      } else {
        run(fds[1], origin);
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Page() {
    ::close(fd_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  std::string report(int timeoutMs = 5000) { return readLine(fd_, buffered_, timeoutMs).value_or("<nothing>"); }

 private:
  static void say(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) < 0) ::_exit(3);
  }
  static void run(int fd, const std::string& origin) {
    testsupport::RawClient client;
    if (!client.connect("127.0.0.1", kServicePort)) return say(fd, "<refused>");
    const std::string header = origin.empty() ? "" : "Origin: " + origin + "\r\n";
    const std::string head = client.upgrade("/", header, testsupport::kSampleKey, 5000);
    say(fd, head.empty() ? "<no answer>" : head.substr(9, 3));
    if (head.rfind("HTTP/1.1 101", 0) != 0) return;
    client.send(testsupport::textFrame(R"({"type":"GetLibVersion"})"));
    // Long enough for any answer the test gives; the test ends the page when done with it.
    const std::optional<testsupport::ReceivedFrame> frame = client.readFrame(30000);
    if (!frame) return say(fd, "<nothing>");
    if (frame->opcode() == 1) return say(fd, "reply");
    if (frame->opcode() == 8 && frame->payload.size() >= 2) {
      const int code = (static_cast<unsigned char>(frame->payload[0]) << 8) | static_cast<unsigned char>(frame->payload[1]);
      return say(fd, "close " + std::to_string(code));
    }
    say(fd, "<frame " + std::to_string(frame->opcode()) + ">");
  }

  // Reports the answer's status and, for a 101, "reply" when the request was answered.
  static void runHalfClosed(int fd, const std::string& origin) {
    testsupport::RawClient client;
    if (!client.connect("127.0.0.1", kServicePort)) return say(fd, "<refused>");
    const std::string request = testsupport::RawClient::upgradeRequest("/", "Origin: " + origin + "\r\n");
    // Corked, the request leaves with the FIN, after this end has left the established state.
    const int one = 1;
    ::setsockopt(client.fd(), IPPROTO_TCP, TCP_CORK, &one, sizeof one);
    client.send(request + testsupport::textFrame(R"({"type":"GetLibVersion"})"));
    client.shutdownWrite();
    const std::string bytes = client.drain(3000).bytes;
    if (bytes.size() < 12) return say(fd, "<no answer>");
    say(fd, bytes.substr(9, 3));
    if (bytes.rfind("HTTP/1.1 101", 0) == 0) say(fd, bytes.find("GetLibVersion") != std::string::npos ? "reply" : "<no reply>");
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buffered_;
};

class ConsentDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run pages and agents as other users";
    ASSERT_EQ(testdaemon::pidListeningOn(kServicePort), 0) << "port 9446 is in use; run this in a network namespace";
    std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridged-consent-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    ::chmod(directory_.c_str(), 0755);  // the agents, as their users, reach the socket inside
    socket_ = directory_ + "/agent.sock";
    state_ = directory_ + "/state.json";
    setenv("SOFTTOKEN_STATE", state_.c_str(), 1);
    const std::string init = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " init >/dev/null";
    ASSERT_EQ(std::system(init.c_str()), 0);
  }
  void TearDown() override {
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

  // A short timeout: the unanswered cases wait for it.
  void startDaemon(const std::string& extra = "") {
    const std::string config = directory_ + "/tokenbridged.conf";
    std::ofstream(config) << "listen = 127.0.0.1\nconsent-timeout = 2\nconsent-dir = " << directory_
                          << "/consent\nagent-socket = " << socket_ << "\n" << extra;
    const testdaemon::StartResult started =
        testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}}, {"--config", config});
    ASSERT_EQ(started.exitStatus, 0) << started.errorOutput;
    stopper_.pid = testdaemon::pidListeningOn(kServicePort);
    ASSERT_NE(stopper_.pid, 0);
  }

  std::unique_ptr<Agent> agent(uid_t uid) {
    auto made = std::make_unique<Agent>(socket_, uid);
    EXPECT_TRUE(made->connected());
    // The daemon learns of the agent on its loop; a page connecting right after must find it.
    std::this_thread::sleep_for(100ms);
    return made;
  }

  std::string directory_;
  std::string socket_;
  std::string state_;
  testdaemon::Stopper stopper_;
};

// The daemon learns a page's user by a netlink lookup that a user-mode emulator does not carry
// (the page is then served as one of an unknown user): the cases that ask run in native builds.
bool underEmulator() { return std::string(TARGET_EMULATOR) != ""; }
constexpr const char* kNativeOnly = "asks a user's agent, which needs the page's user: native builds only";

TEST_F(ConsentDaemon, ListedOriginIsNotAskedAndTheListStillRefusesOthers) {
  startDaemon("allow-origin = https://listed.example\n");
  const auto alice = agent(kAlice);
  Page listed(kAlice, "https://listed.example");
  EXPECT_EQ(listed.report(), "101");
  EXPECT_EQ(listed.report(), "reply");
  Page other(kAlice, kSite);
  EXPECT_EQ(other.report(), "403");
  EXPECT_TRUE(alice->next(300).isNull()) << "the agent was asked";
}

TEST_F(ConsentDaemon, RefuseModeAnswersUnlistedPagesAtOnce) {
  startDaemon("unknown-origin = refuse\n");
  Page page(kAlice, kSite);
  EXPECT_EQ(page.report(), "403");
  Page program(kAlice, "");  // no Origin: not a page, served as before
  EXPECT_EQ(program.report(), "101");
  EXPECT_EQ(program.report(), "reply");
}

TEST_F(ConsentDaemon, RememberedAnswersAreNotAskedAgain) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  struct Case {
    const char* decision;
    const char* first;   // what the waiting page gets
    const char* second;  // what the next page of the origin gets at once, after its 101
  };
  // A remembered Block is said to the page (4403 after the 101), never as a missing service (403).
  const Case cases[] = {{"allow", "reply", "reply"}, {"block", "close 4403", "close 4403"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.decision);
    startDaemon();
    {
      const auto alice = agent(kAlice);
      Page waiting(kAlice, kSite);
      EXPECT_EQ(waiting.report(), "101");  // at once, before anyone answers
      const std::string question = alice->asked(kSite);
      ASSERT_NE(question, "");
      alice->answer(question, c.decision, true);
      EXPECT_EQ(waiting.report(), c.first);

      Page again(kAlice, kSite);
      EXPECT_EQ(again.report(), "101");
      EXPECT_EQ(again.report(1000), c.second);
      EXPECT_TRUE(alice->next(300).isNull()) << "asked again";
    }
    const std::filesystem::path file = directory_ + "/consent/" + std::to_string(kAlice);
    EXPECT_TRUE(std::filesystem::exists(file));
    struct stat info{};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_TRUE(testdaemon::signalAndWait(stopper_.pid, SIGTERM, 3000ms));
    std::filesystem::remove_all(directory_ + "/consent");
  }
}

TEST_F(ConsentDaemon, UnansweredQuestionClosesThePageAndIsWithdrawn) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto alice = agent(kAlice);
  Page page(kAlice, kSite);
  EXPECT_EQ(page.report(), "101");
  const std::string question = alice->asked(kSite);
  ASSERT_NE(question, "");
  EXPECT_EQ(page.report(), "close 4408");
  EXPECT_EQ(alice->next()["withdraw"].asString(), question);
  // Not asked again for a while after no answer, and the page is told so.
  Page soon(kAlice, kSite);
  EXPECT_EQ(soon.report(), "101");
  EXPECT_EQ(soon.report(1000), "close 4408");
  EXPECT_TRUE(alice->next(300).isNull()) << "asked again within the quiet period";
}

TEST_F(ConsentDaemon, AClosedPagesQuestionIsWithdrawnWithinASecond) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();  // consent-timeout = 2: the question would otherwise go at its timeout
  const auto alice = agent(kAlice);
  std::string question;
  {
    Page page(kAlice, kSite);
    EXPECT_EQ(page.report(), "101");
    question = alice->asked(kSite);
    ASSERT_NE(question, "");
  }  // the page's process ends: its tab closed
  const auto left = std::chrono::steady_clock::now();
  EXPECT_EQ(alice->next(1000)["withdraw"].asString(), question);
  EXPECT_LT(std::chrono::steady_clock::now() - left, 1s);
  // The next site waiting is asked at once, not after the gone page's time.
  Page next(kAlice, "https://other.example");
  EXPECT_EQ(next.report(), "101");
  EXPECT_NE(alice->asked("https://other.example"), "");
}

TEST_F(ConsentDaemon, AQueuedPageWaitsAtMostTheTimeoutFromItsArrival) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();  // consent-timeout = 2
  const auto alice = agent(kAlice);
  Page first(kAlice, kSite);
  EXPECT_EQ(first.report(), "101");
  ASSERT_NE(alice->asked(kSite), "");
  std::this_thread::sleep_for(1s);
  const auto arrived = std::chrono::steady_clock::now();
  Page queued(kAlice, "https://other.example");
  EXPECT_EQ(queued.report(), "101");
  EXPECT_EQ(first.report(), "close 4408");
  // Asked once the first question is gone, but only for what is left of its own 2 s.
  EXPECT_EQ(queued.report(), "close 4408");
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - arrived);
  EXPECT_LT(waited, 2600ms) << waited.count() << " ms";
  EXPECT_GE(waited, 1900ms) << waited.count() << " ms";
}

TEST_F(ConsentDaemon, EachUserDecidesForTheirOwnPagesOnly) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto alice = agent(kAlice);
  // Bob runs no agent: his pages are served as without consent, and Alice is not asked.
  Page bobs(kBob, kSite);
  EXPECT_EQ(bobs.report(), "101");
  EXPECT_EQ(bobs.report(), "reply");
  EXPECT_TRUE(alice->next(300).isNull());

  // Alice allows the site for herself; once Bob runs an agent, his page of the site still waits for him.
  Page alices(kAlice, kSite);
  EXPECT_EQ(alices.report(), "101");
  alice->answer(alice->asked(kSite), "allow", true);
  EXPECT_EQ(alices.report(), "reply");
  const auto bob = agent(kBob);
  Page bobsAgain(kBob, kSite);
  EXPECT_EQ(bobsAgain.report(), "101");
  const std::string question = bob->asked(kSite);
  ASSERT_NE(question, "");
  EXPECT_EQ(bobsAgain.report(500), "<nothing>") << "served on Alice's answer";
  bob->answer(question, "block", false);
  EXPECT_EQ(bobsAgain.report(), "close 4403");
  EXPECT_TRUE(alice->next(300).isNull());
}

TEST_F(ConsentDaemon, OneQuestionOnScreenFourOriginsWaitingTheRestRefused) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto alice = agent(kAlice);
  std::vector<std::unique_ptr<Page>> pages;
  for (int i = 1; i <= 6; ++i) {
    pages.push_back(std::make_unique<Page>(kAlice, "https://site" + std::to_string(i) + ".example"));
    // In order, so which one is refused is known: the sixth learns the queue is full.
    EXPECT_EQ(pages.back()->report(), "101") << "page " << i;
  }
  EXPECT_EQ(pages[5]->report(1000), "close 4429");
  const std::string first = alice->asked("https://site1.example");
  ASSERT_NE(first, "");
  EXPECT_TRUE(alice->next(300).isNull()) << "a second question while one is on screen";
  alice->answer(first, "allow", false);
  EXPECT_EQ(pages[0]->report(), "reply");
  EXPECT_NE(alice->asked("https://site2.example"), "") << "the next origin waiting is asked";
}

TEST_F(ConsentDaemon, TwoAgentsOfOneUserTheFirstAnswerWins) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto desktop = agent(kAlice);
  const auto laptop = agent(kAlice);
  Page page(kAlice, kSite);
  EXPECT_EQ(page.report(), "101");
  const std::string question = desktop->asked(kSite);
  ASSERT_NE(question, "");
  EXPECT_EQ(laptop->asked(kSite), question);
  desktop->answer(question, "allow", false);
  EXPECT_EQ(laptop->next()["withdraw"].asString(), question);
  laptop->answer(question, "block", false);  // too late: changes nothing
  EXPECT_EQ(page.report(), "reply");
  Page next(kAlice, kSite);  // not remembered: asked again
  EXPECT_EQ(next.report(), "101");
  EXPECT_EQ(desktop->asked(kSite), laptop->asked(kSite));
}

TEST_F(ConsentDaemon, AUserWhoRanAnAgentIsNotServedUnaskedWhileNoneIsConnected) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  agent(kAlice).reset();  // Alice ran an agent once; it is gone now
  std::this_thread::sleep_for(100ms);
  {
    Page waiting(kAlice, kSite);
    EXPECT_EQ(waiting.report(), "101");
    EXPECT_EQ(waiting.report(500), "<nothing>") << "served with nobody asked";
    const auto alice = agent(kAlice);  // asked as soon as it connects
    const std::string question = alice->asked(kSite);
    ASSERT_NE(question, "");
    alice->answer(question, "allow", false);
    EXPECT_EQ(waiting.report(), "reply");
  }
  // After a restart the daemon still knows, before any agent is back; no agent in time: 4408.
  ASSERT_TRUE(testdaemon::signalAndWait(stopper_.pid, SIGTERM, 3000ms));
  startDaemon();
  Page afterRestart(kAlice, kSite);
  EXPECT_EQ(afterRestart.report(), "101");
  EXPECT_EQ(afterRestart.report(), "close 4408");
  // A user who never ran one is served as before.
  Page bobs(kBob, kSite);
  EXPECT_EQ(bobs.report(), "101");
  EXPECT_EQ(bobs.report(), "reply");
}

TEST_F(ConsentDaemon, APageWhoseUserCannotBeLookedUpIsRefusedWhileAnAgentRuns) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  {
    Page before(kAlice, kSite, true);  // no agent anywhere: served as without consent
    EXPECT_EQ(before.report(), "101");
    EXPECT_EQ(before.report(), "reply");
  }
  const auto bob = agent(kBob);
  Page page(kAlice, kSite, true);
  EXPECT_EQ(page.report(), "403");
  EXPECT_TRUE(bob->next(300).isNull()) << "another user's agent was asked";
}

TEST_F(ConsentDaemon, WaitingPagesAndNewQuestionsOfAUserAreBounded) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto alice = agent(kAlice);
  {
    // One site opening socket after socket: 4 wait on the question, the rest are closed 4429.
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 1; i <= 6; ++i) {
      pages.push_back(std::make_unique<Page>(kAlice, kSite));
      EXPECT_EQ(pages.back()->report(), "101") << "page " << i;
      if (i > 4) {
        EXPECT_EQ(pages.back()->report(1000), "close 4429") << "page " << i;
      }
    }
    const std::string question = alice->asked(kSite);
    ASSERT_NE(question, "");
    alice->answer(question, "allow", false);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(pages[i]->report(), "reply") << "page " << i + 1;
  }
  // Ever new subdomains: 10 new questions in a minute (one counted above), then 4429.
  for (int i = 2; i <= 11; ++i) {
    const std::string origin = "https://s" + std::to_string(i) + ".site.example";
    Page page(kAlice, origin);
    const std::string status = page.report();
    if (i <= 10) {
      EXPECT_EQ(status, "101") << origin;
      alice->answer(alice->asked(origin), "allow", false);
      EXPECT_EQ(page.report(), "reply") << origin;
    } else {
      EXPECT_EQ(status, "101") << origin;
      EXPECT_EQ(page.report(1000), "close 4429") << origin;
    }
  }
  EXPECT_TRUE(alice->next(300).isNull());
}

TEST_F(ConsentDaemon, AnOriginOutsidePrintableAsciiOrTooLongIsRefusedUnasked) {
  if (underEmulator()) GTEST_SKIP() << kNativeOnly;
  startDaemon();
  const auto alice = agent(kAlice);
  for (const std::string& origin : {std::string("https://caf\xc3\xa9.example"), std::string("https://\xff.example"),
                                    "https://" + std::string(250, 'a') + ".example"}) {
    Page page(kAlice, origin);
    EXPECT_EQ(page.report(), "403") << origin.substr(0, 30);
  }
  EXPECT_TRUE(alice->next(300).isNull()) << "the agent was asked";
  Page plain(kAlice, kSite);  // a plain one is still asked
  EXPECT_EQ(plain.report(), "101");
  EXPECT_NE(alice->asked(kSite), "");
}

TEST_F(ConsentDaemon, ADirectoryAnotherUserCouldWriteStopsTheStartAtItsLine) {
  // The settings file: line 3 names the consent directory, line 4 the agent socket.
  struct Case {
    const char* name;
    std::string consentDir;
    std::string socketDir;
    std::function<void()> make;
    std::string expected;  // what follows "tokenbridged: CONFIG:"
  };
  const std::string bad = directory_ + "/bad";
  const std::string good = directory_ + "/good";
  const Case cases[] = {
      {"consent directory writable by others", bad, directory_, [&] { ::mkdir(bad.c_str(), 0777); ::chmod(bad.c_str(), 0777); },
       "3: consent-dir: " + bad + ": writable by other users; make it 0755 or 0700"},
      {"consent directory made first by another user", bad, directory_,
       [&] { ::mkdir(bad.c_str(), 0700); ::chown(bad.c_str(), kAlice, kAlice); },
       "3: consent-dir: " + bad + ": owned by uid 61001, not by this service's user (uid 0)"},
      {"consent directory a link", bad, directory_,
       [&] { ::mkdir(good.c_str(), 0700); ::symlink(good.c_str(), bad.c_str()); },
       "3: consent-dir: " + bad + ": a symbolic link; name the directory itself"},
      {"socket directory writable by others (sticky, as /tmp)", directory_ + "/consent", bad,
       [&] { ::mkdir(bad.c_str(), 01777); ::chmod(bad.c_str(), 01777); },
       "4: agent-socket: " + bad + ": writable by other users; make it 0755 or 0700"},
      {"socket directory of another user", directory_ + "/consent", bad,
       [&] { ::mkdir(bad.c_str(), 0755); ::chown(bad.c_str(), kAlice, kAlice); },
       "4: agent-socket: " + bad + ": owned by uid 61001, not by this service's user (uid 0)"},
  };
  const std::string config = directory_ + "/tokenbridged.conf";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(bad);
    std::filesystem::remove_all(good);
    c.make();
    std::ofstream(config) << "listen = 127.0.0.1\nconsent-timeout = 2\nconsent-dir = " << c.consentDir
                          << "\nagent-socket = " << c.socketDir << "/agent.sock\n";
    const testdaemon::StartResult started = testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}}, {"--config", config});
    EXPECT_EQ(started.exitStatus, 1);
    EXPECT_EQ(started.errorOutput, "tokenbridged: " + config + ":" + c.expected + "\n");
    EXPECT_EQ(testdaemon::pidListeningOn(kServicePort), 0);
  }
  // unknown-origin = allow uses neither: no check.
  std::ofstream(config) << "listen = 127.0.0.1\nunknown-origin = allow\nconsent-dir = " << bad << "\n";
  const testdaemon::StartResult started = testdaemon::start(TOKENBRIDGED, {{"SOFTTOKEN_STATE", state_}}, {"--config", config});
  EXPECT_EQ(started.exitStatus, 0) << started.errorOutput;
  stopper_.pid = testdaemon::pidListeningOn(kServicePort);
}

TEST_F(ConsentDaemon, TheAgentSocketIsForEveryUserWhateverTheUmask) {
  const mode_t saved = ::umask(077);
  startDaemon();
  ::umask(saved);
  struct stat info {};
  ASSERT_EQ(::lstat(socket_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  struct stat consent {};
  ASSERT_EQ(::stat((directory_ + "/consent").c_str(), &consent), 0);
  EXPECT_EQ(consent.st_mode & 0777, 0700u);
}

}  // namespace
