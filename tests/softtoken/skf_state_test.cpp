// SPDX-License-Identifier: MIT
// A state file that is missing, damaged or out of range means "no token", never a crash and never
// half a token; the library answers as for an unplugged one.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "softtoken/state_file.h"
#include "tests/softtoken/token_fixture.h"

namespace {

// A valid file's text with one member replaced (or the whole text, when key is empty).
std::string variant(const std::string& key, const Json::Value& value) {
  Json::Value json = softtoken::toJson(softtoken::TokenState{});
  if (!key.empty()) json[key] = value;
  return Json::writeString(Json::StreamWriterBuilder(), json);
}

std::string withPin(const char* member, const char* field, const Json::Value& value) {
  Json::Value json = softtoken::toJson(softtoken::TokenState{});
  json[member][field] = value;
  return Json::writeString(Json::StreamWriterBuilder(), json);
}

struct BadStateCase {
  const char* name;
  std::string text;
};

TEST_F(TokenTest, DamagedStateMeansNoToken) {
  const std::string valid = softtoken::formatState(softtoken::TokenState{});
  Json::Value faults(Json::objectValue);
  faults["SKF_Nothing"]["code"] = 1;
  faults["SKF_Nothing"]["once"] = false;
  const BadStateCase cases[] = {
      {"empty file", ""},
      {"not JSON", "plugged in, honest"},
      {"empty object", "{}"},
      {"cut in half", valid.substr(0, valid.size() / 2)},
      {"trailing garbage", valid + "}"},
      {"array", "[1,2,3]"},
      {"present as text", variant("present", "yes")},
      {"negative epoch", variant("epoch", -1)},
      {"serial of 33 characters", variant("serial", std::string(33, 'S'))},
      {"empty serial", variant("serial", "")},
      {"applications not a list", variant("applications", "TOKENBRIDGE")},
      {"format 2", variant("format", 2)},
      {"tries above maximum", withPin("user", "tries_left", 7)},
      {"negative tries", withPin("user", "tries_left", -1)},
      {"maximum 0", withPin("admin", "max_tries", 0)},
      {"5-character PIN", withPin("user", "pin", "12345")},
      {"PIN missing", withPin("admin", "pin", Json::Value())},
      {"fault on an unknown function", variant("faults", faults)},
  };
  for (const BadStateCase& c : cases) {
    SCOPED_TRACE(c.name);
    writeRaw(c.text);
    ULONG size = 123;
    EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 0u);
    DEVHANDLE device = nullptr;
    EXPECT_EQ(SKF_ConnectDev(kDeviceName, &device), SAR_DEVICE_REMOVED);
    // The library never repairs or replaces a file it cannot read.
    EXPECT_EQ(readFile(statePath()), c.text);
  }
  // The same writer with the members untouched gives a token.
  writeRaw(variant("", Json::Value()));
  ULONG size = 0;
  EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
  EXPECT_EQ(size, 16u);
}

TEST_F(TokenTest, MissingFileAndMissingDirectoryMeanNoToken) {
  const std::string paths[] = {statePath() + ".absent", directory_ + "/no/such/dir/state.json"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    setenv("SOFTTOKEN_STATE", path.c_str(), 1);
    ULONG size = 123;
    EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 0u);
  }
}

// A file-size limit makes the write fail even for root; the child reports the code it got.
TEST_F(TokenTest, FailedWriteRefusesAPinChangeAndKeepsTheOldState) {
  const HAPPLICATION app = openApplication();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    char oldPin[] = "12345678";
    char newPin[] = "abcdefgh";
    ULONG count = 0;
    _exit(SKF_ChangePIN(app, USER_TYPE, oldPin, newPin, &count) == SAR_WRITEFILEERR ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the change did not report SAR_WRITEFILEERR";
  EXPECT_EQ(load().user_.pin_, "12345678");
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory_)) ++entries;
  EXPECT_EQ(entries, 2u) << "the failed temporary file was left behind";
}

TEST_F(TokenTest, WriteKeepsTheFileModeAndLeavesNoTemporaryFiles) {
  ASSERT_EQ(chmod(statePath().c_str(), 0640), 0);
  edit([](softtoken::TokenState& s) { s.present_ = false; });
  struct stat st {};
  ASSERT_EQ(stat(statePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory_)) ++entries;
  EXPECT_EQ(entries, 2u);  // state.json and state.json.lock
}

}  // namespace
