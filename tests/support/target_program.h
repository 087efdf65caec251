// SPDX-License-Identifier: MIT
// Starting a program built with the tests (the daemon, the softtoken command). In a cross build the
// tests run under an emulator, and so must the programs they start: TARGET_EMULATOR holds its
// command (words separated by blanks), empty in a native build.
#pragma once

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The program as the start of a shell command line: behind the emulator when there is one.
inline std::string targetShellCommand(const std::string& program) {
  const std::string emulator = TARGET_EMULATOR;
  return emulator.empty() ? program : emulator + " " + program;
}

// The program and its arguments, behind the emulator when there is one, ready to replace a process.
// Made before fork(), so that the child of a threaded process only calls exec().
class TargetCommand {
 public:
  explicit TargetCommand(const std::string& program, const std::vector<std::string>& arguments = {}) {
    std::istringstream emulator(TARGET_EMULATOR);
    for (std::string word; emulator >> word;) words_.push_back(word);
    words_.push_back(program);
    words_.insert(words_.end(), arguments.begin(), arguments.end());
    for (std::string& word : words_) argv_.push_back(word.data());
    argv_.push_back(nullptr);
  }
  TargetCommand(const TargetCommand&) = delete;
  TargetCommand& operator=(const TargetCommand&) = delete;

  // Replaces the process; returns only when that failed.
  void exec() const { execv(argv_[0], argv_.data()); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

}  // namespace testsupport
