// SPDX-License-Identifier: MIT
#include "service/consent/background_writer.h"

#include <cstring>
#include <utility>

#include "service/file_text.h"

namespace consent {

BackgroundWriter::~BackgroundWriter() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void BackgroundWriter::write(const std::string& path, std::string text) {
  {
    const std::lock_guard lock(mutex_);
    waiting_[path] = std::move(text);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void BackgroundWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) return;  // stopping, nothing left
    auto next = waiting_.extract(waiting_.begin());
    lock.unlock();
    if (const int error = replaceFileText(next.key(), next.mapped()); error != 0 && warn_) {
      warn_("consent: cannot write " + next.key() + ": " + std::strerror(error));
    }
    lock.lock();
  }
}

}  // namespace consent
