// SPDX-License-Identifier: MIT
// The question as a zenity or kdialog window, for sessions whose notifications show no buttons.
// Allow or Block, never remembered; Block is the default button (zenity) and closing the window
// is Block.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent/asker.h"

namespace {

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

class DialogAsker : public Asker {
 public:
  explicit DialogAsker(std::string program) : program_(std::move(program)) {}
  ~DialogAsker() override { takeDown(); }

  void ask(const std::string& question, const std::string& origin) override {
    takeDown();
    const std::string text = origin + "\nwants to use your security token.";
    std::vector<std::string> argv;
    if (program_ == "zenity") {
      argv = {"zenity", "--question", "--no-markup", "--title=Allow this site to use the token?", "--text=" + text,
              "--ok-label=Allow", "--cancel-label=Block", "--default-cancel"};
    } else {
      argv = {"kdialog", "--title", "Allow this site to use the token?", "--yes-label", "Allow", "--no-label", "Block",
              "--warningyesno", text};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
      // The pipe's write end lives as long as the dialog: its end of file says the dialog is gone.
      ::dup2(ends[1], 1);
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(ends[1]);
    if (child < 0) {
      ::close(ends[0]);
      return;
    }
    child_ = child;
    done_ = ends[0];
    question_ = question;
  }

  void withdraw(const std::string& question) override {
    if (question == question_) takeDown();
  }

  pollfd waitFor(int&) override { return pollfd{done_, POLLIN, 0}; }

  std::optional<Answer> process() override {
    if (done_ < 0) return std::nullopt;
    char ignored[64];
    if (::read(done_, ignored, sizeof ignored) != 0) return std::nullopt;  // not ended yet
    int status = 0;
    ::waitpid(child_, &status, 0);
    Answer answer{question_, WIFEXITED(status) && WEXITSTATUS(status) == 0, false};
    child_ = -1;
    ::close(done_);
    done_ = -1;
    question_.clear();
    return answer;
  }

 private:
  void takeDown() {
    if (child_ > 0) {
      ::kill(child_, SIGTERM);
      ::waitpid(child_, nullptr, 0);
    }
    if (done_ >= 0) ::close(done_);
    child_ = -1;
    done_ = -1;
    question_.clear();
  }

  std::string program_;
  pid_t child_ = -1;
  int done_ = -1;
  std::string question_;
};

}  // namespace

std::unique_ptr<Asker> makeDialogAsker(std::string& why) {
  for (const char* program : {"zenity", "kdialog"}) {
    if (onPath(program)) return std::make_unique<DialogAsker>(program);
  }
  why = "neither zenity nor kdialog is installed";
  return nullptr;
}
