// SPDX-License-Identifier: MIT
// Fresh software-token state per test, and the two ways a test talks to it.
#include "tests/token/soft_token_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "service/dispatcher.h"
#include "token/application.h"
#include "token/dev_mgnt.h"
#include "token/warnings.h"
#include "tests/support/target_program.h"

void SoftTokenTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tokenbridge-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  directory_ = pattern;
  setenv("SOFTTOKEN_STATE", (directory_ + "/state.json").c_str(), 1);
  ASSERT_TRUE(softtoken("init"));
  // Handles left by an earlier test belong to a token that no longer exists.
  g_hDev = nullptr;
  g_hApp = nullptr;
  token::setTraceConsole(stdout);  // the tests read the token's trace lines
}

void SoftTokenTest::TearDown() {
  token::setTraceConsole(nullptr);
  g_hDev = nullptr;
  g_hApp = nullptr;
  std::filesystem::remove_all(directory_);
}

bool SoftTokenTest::softtoken(const std::string& arguments) {
  const std::string command = testsupport::targetShellCommand(SOFTTOKEN_COMMAND) + " " + arguments + " >/dev/null";
  return std::system(command.c_str()) == 0;
}

std::string SoftTokenTest::request(const std::string& json) {
  return handleRequest(reinterpret_cast<const unsigned char*>(json.data()), json.size());
}
