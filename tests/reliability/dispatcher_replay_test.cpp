// SPDX-License-Identifier: MIT
// Replays the dispatcher's fuzz corpus (its seeds and the inputs of past findings, named finding_*)
// and the JSON corpus (tests/corpus/json) through the same check the fuzz target makes, in every build.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/reliability/dispatcher_oracle.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> filesIn(const fs::path& directory) {
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sends standard output to the null device while it lives: the dispatcher prints two lines per
// message, and hundreds of messages would bury the test's own report.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

class DispatcherReplay : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    setenv("SOFTTOKEN_STATE", "/nonexistent/tokenbridge-replay/state.json", 1);
  }
};

TEST_P(DispatcherReplay, EveryFileGetsOneWellFormedReply) {
  const fs::path directory = GetParam();
  ASSERT_TRUE(fs::is_directory(directory)) << directory;
  const std::vector<fs::path> files = filesIn(directory);
  ASSERT_FALSE(files.empty()) << "nothing to replay in " << directory;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const std::string message = contents(file);
    std::string reply;
    const char* fault;
    {
      QuietStdout quiet;
      fault = reliability::findReplyFault(reinterpret_cast<const unsigned char*>(message.data()), message.size(), reply);
    }
    EXPECT_TRUE(fault == nullptr) << (fault ? fault : "") << "\nreply: " << reply;
  }
}

std::string corpusName(const ::testing::TestParamInfo<const char*>& info) {
  static constexpr const char* kNames[] = {"SeedsAndPastFindings", "JsonTestSuiteCorpus"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Corpora, DispatcherReplay,
                         ::testing::Values(RELIABILITY_DIR "/corpus/dispatcher", JSON_CORPUS_DIR),
                         corpusName);

}  // namespace
