// SPDX-License-Identifier: MIT
// The question as a window (agent/question_window.*) in a child process, for desktops whose
// notification server cannot show the answers as buttons. The child's socket carries its one
// answer back; closing the agent's end, or the agent's end, takes the window down.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "agent/asker.h"
#include "agent/question_window.h"

namespace {

class WindowAsker : public Asker {
 public:
  ~WindowAsker() override { takeDown(); }

  void ask(const consent::agent_line::Ask& ask) override {
    takeDown();
    const question_text::Text text = question_text::make(ask.origin, ask.waiting, question_text::Style::Markup);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      pending_ = Answer{ask.question, false, false};  // nothing on screen means no
      return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
      // Only the answer's socket stays open: the daemon must see the agent's connection close
      // when the agent ends, whatever the window is doing.
      if (ends[1] != 3) ::dup2(ends[1], 3);
      ::close_range(4, ~0U, 0);
      // The agent's own handlers and mask are not the window's: a signal simply ends it.
      for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::_exit(runQuestionWindow(text, 3));
    }
    ::close(ends[1]);
    if (child < 0) {
      ::close(ends[0]);
      pending_ = Answer{ask.question, false, false};
      return;
    }
    child_ = child;
    answers_ = ends[0];
    question_ = ask.question;
  }

  void withdraw(const std::string& question) override {
    if (question == question_) takeDown();
  }

  pollfd waitFor(int& timeoutMs) override {
    if (pending_) timeoutMs = 0;
    return pollfd{answers_, POLLIN, 0};
  }

  std::optional<Answer> process() override {
    if (pending_) return std::exchange(pending_, std::nullopt);
    if (answers_ < 0) return std::nullopt;
    char letter = 0;
    const ssize_t n = ::recv(answers_, &letter, 1, MSG_DONTWAIT);
    if (n < 0) return std::nullopt;  // nothing yet
    // No letter: the window could not open or was killed; nothing on screen means no.
    Answer answer{question_, letter == 'a' || letter == 'A', letter == 'A' || letter == 'B'};
    takeDown();
    return answer;
  }

 private:
  void takeDown() {
    if (answers_ >= 0) ::close(answers_);
    if (child_ > 0) {
      ::kill(child_, SIGTERM);
      ::waitpid(child_, nullptr, 0);
    }
    child_ = -1;
    answers_ = -1;
    question_.clear();
  }

  pid_t child_ = -1;
  int answers_ = -1;
  std::string question_;
  std::optional<Answer> pending_;
};

}  // namespace

std::unique_ptr<Asker> makeWindowAsker(std::string& why) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) {
    why = "no display to open a window on";
    return nullptr;
  }
  return std::make_unique<WindowAsker>();
}
