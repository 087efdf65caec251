// SPDX-License-Identifier: MIT
// The per-test token: a temporary directory holding the state file, and the helpers around it.
#include "tests/softtoken/token_fixture.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "softtoken/state_file.h"
#include "tests/support/target_program.h"

void TokenTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "softtoken-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  directory_ = pattern;
  setenv("SOFTTOKEN_STATE", statePath().c_str(), 1);
  store(softtoken::TokenState{});
}

void TokenTest::TearDown() {
  unsetenv("SOFTTOKEN_STATE");
  std::filesystem::remove_all(directory_);
}

softtoken::TokenState TokenTest::load() const {
  const std::optional<softtoken::TokenState> state = softtoken::StateFile(statePath()).load();
  EXPECT_TRUE(state.has_value()) << "state file is not valid: " << readFile(statePath());
  return state.value_or(softtoken::TokenState{});
}

void TokenTest::store(const softtoken::TokenState& state) const {
  std::string error;
  const bool written = softtoken::StateFile(statePath()).update(
      [&](std::optional<softtoken::TokenState>& current) {
        current = state;
        return true;
      },
      &error);
  ASSERT_TRUE(written) << error;
}

void TokenTest::edit(const std::function<void(softtoken::TokenState&)>& change) const {
  softtoken::TokenState state = load();
  change(state);
  store(state);
}

void TokenTest::writeRaw(const std::string& text) const {
  std::ofstream(statePath(), std::ios::binary | std::ios::trunc) << text;
}

DEVHANDLE TokenTest::connect() {
  DEVHANDLE device = nullptr;
  EXPECT_EQ(SKF_ConnectDev(kDeviceName, &device), SAR_OK);
  return device;
}

HAPPLICATION TokenTest::openApplication() {
  device_ = connect();
  char names[256] = {};
  ULONG size = sizeof names;
  EXPECT_EQ(SKF_EnumApplication(device_, names, &size), SAR_OK);
  HAPPLICATION app = nullptr;
  EXPECT_EQ(SKF_OpenApplication(device_, names, &app), SAR_OK);
  return app;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CommandResult runCommand(const std::string& arguments, const std::string& directory) {
  const std::string out = directory + "/command.out";
  const std::string err = directory + "/command.err";
  const std::string line = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " " + arguments + " >" + out + " 2>" + err;
  const int status = std::system(line.c_str());
  CommandResult result;
  result.exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out_ = readFile(out);
  result.err_ = readFile(err);
  return result;
}
