// SPDX-License-Identifier: MIT
// Writes the consent directory's files on a thread of its own, so a decision costs the loop a copy
// of a small text and never a disk flush. Only the newest text of each file is written; the thread
// starts at the first write.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace consent {

class BackgroundWriter {
 public:
  using Warn = std::function<void(const std::string& line)>;  // called on the writer's thread
  explicit BackgroundWriter(Warn warn) : warn_(std::move(warn)) {}
  ~BackgroundWriter();  // writes what is still waiting, then stops
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Any thread: `path` is to be replaced by `text` (see replaceFileText), after any text given before.
  void write(const std::string& path, std::string text);

 private:
  void run();

  Warn warn_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::string> waiting_;  // path, newest text
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace consent
