// SPDX-License-Identifier: MIT
// A fixture for tests that run requests through the real dispatcher against the software token:
// each test gets its own fresh state file, and both token handles start at zero.
#pragma once

#include <gtest/gtest.h>

#include <string>

class SoftTokenTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the software token's command with the given arguments; true when it exited 0.
  static bool softtoken(const std::string& arguments);

  // The reply the dispatcher gives to the request text.
  static std::string request(const std::string& json);

  std::string directory_;
};
