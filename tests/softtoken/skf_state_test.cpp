// SPDX-License-Identifier: MIT
// A state file that is missing, damaged or out of range means "no token", never a crash and never
// half a token; the library answers as for an unplugged one.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "softtoken/state_file.h"
#include "tests/softtoken/token_fixture.h"

namespace {

// A file with this text and mode, made by the test.
void writeFileForTest(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

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

// A state file and lock file left wider by an older version are owner-only after the next write.
TEST_F(TokenTest, WriteMakesTheFilesOwnerOnlyAndLeavesNoTemporaryFiles) {
  ASSERT_EQ(chmod(statePath().c_str(), 0640), 0);
  ASSERT_EQ(chmod((statePath() + ".lock").c_str(), 0644), 0);
  edit([](softtoken::TokenState& s) { s.present_ = false; });
  struct stat st {};
  ASSERT_EQ(stat(statePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((statePath() + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory_)) ++entries;
  EXPECT_EQ(entries, 2u);  // state.json and state.json.lock
}

// The directory made by "softtoken init" is 0700 and every file in it 0600, after the command and
// after a write by the library, whatever the umask: one that would widen them (0), the usual one,
// and one that would take the owner's own write bit away.
TEST_F(TokenTest, FilesAreOwnerOnlyWhateverTheUmask) {
  const mode_t umasks[] = {0000, 0022, 0277};
  const std::string environmentPath = statePath();
  for (const mode_t mask : umasks) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    const std::string directory = directory_ + "/made-" + std::to_string(mask);
    const std::string path = directory + "/state.json";
    struct UmaskGuard {
      mode_t previous;
      ~UmaskGuard() { ::umask(previous); }
    } guard{::umask(mask)};
    const CommandResult init = runCommand("--state " + path + " init", directory_);
    ASSERT_EQ(init.exit_, 0) << init.err_;
    const auto modeOf = [](const std::string& file) {
      struct stat st {};
      return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 01;
    };
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path + ".lock"), 0600u);
    // A wrong PIN is a write by the library: its temporary file becomes the state file.
    setenv("SOFTTOKEN_STATE", path.c_str(), 1);
    const HAPPLICATION app = openApplication();
    char wrong[] = "00000000";
    ULONG count = 0;
    EXPECT_EQ(SKF_VerifyPIN(app, USER_TYPE, wrong, &count), SAR_PIN_INCORRECT);
    EXPECT_EQ(SKF_DisConnectDev(device_), SAR_OK);
    setenv("SOFTTOKEN_STATE", environmentPath.c_str(), 1);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path + ".lock"), 0600u);
    EXPECT_EQ(softtoken::parseState(readFile(path)).value_or(softtoken::TokenState{}).user_.tries_, 5u);
  }
}

// Root changing a token in a directory another user owns (the installed service's user owns
// /var/lib/softtoken): every file the command or the library makes there is that user's, so the
// service can still read and write it; and a lock file planted as a symbolic link is not followed,
// so the directory's owner cannot point root's mode change or owner change at another file.
TEST_F(TokenTest, RootKeepsTheFilesTheDirectoryOwnersAndFollowsNoLockLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
  const uid_t user = 65534;
  const gid_t group = 65534;
  const std::string directory = directory_ + "/service";
  const std::string path = directory + "/state.json";
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  ASSERT_EQ(::chown(directory.c_str(), user, group), 0);
  const auto ownerOf = [](const std::string& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0 ? std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) : "missing";
  };
  const std::string owner = std::to_string(user) + ":" + std::to_string(group);

  const CommandResult init = runCommand("--state " + path + " init", directory_);
  ASSERT_EQ(init.exit_, 0) << init.err_;
  EXPECT_EQ(ownerOf(path), owner);
  EXPECT_EQ(ownerOf(path + ".lock"), owner);
  const CommandResult unplug = runCommand("--state " + path + " unplug", directory_);
  ASSERT_EQ(unplug.exit_, 0) << unplug.err_;
  EXPECT_EQ(ownerOf(path), owner) << "a rewrite by root took the state away from the directory's owner";

  // The lock replaced by a link to a file of root's: the write is refused, the file untouched.
  const std::string victim = directory_ + "/roots-file";
  writeFileForTest(victim, "root's\n", 0644);
  ASSERT_EQ(::unlink((path + ".lock").c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (path + ".lock").c_str()), 0);
  const CommandResult plug = runCommand("--state " + path + " plug", directory_);
  EXPECT_NE(plug.exit_, 0);
  struct stat st {};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(ownerOf(victim), "0:0");
  EXPECT_EQ(readFile(victim), "root's\n");
}

}  // namespace
