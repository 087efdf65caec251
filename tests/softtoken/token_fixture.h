// SPDX-License-Identifier: MIT
// A fresh software token per test: its own temporary directory and state file (SOFTTOKEN_STATE),
// helpers to read and edit the state directly, and the steps the daemon takes to reach the token.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "softtoken/token_state.h"
#include "token/skf.h"

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string statePath() const { return directory_ + "/state.json"; }

  // The state as the file holds it now; fails the test when it is not valid.
  softtoken::TokenState load() const;
  // Replaces the state with the given one (through the locked, atomic write).
  void store(const softtoken::TokenState& state) const;
  // Changes the stored state in place.
  void edit(const std::function<void(softtoken::TokenState&)>& change) const;
  // Writes raw bytes as the state file.
  void writeRaw(const std::string& text) const;

  // Connects by the default device name; nullptr (and a test failure) when refused.
  static DEVHANDLE connect();
  // Connects and opens the first listed application; nullptr (and a test failure) when refused.
  HAPPLICATION openApplication();

  std::string directory_;
  DEVHANDLE device_ = nullptr;
};

// The fixed device name the daemon connects with.
inline char kDeviceName[] = "KV5100RT VCR 1";

// Result of running the softtoken command: its exit status and what it wrote.
struct CommandResult {
  int exit_ = -1;
  std::string out_;
  std::string err_;
};

// Runs the softtoken command with the arguments (shell words) in directory.
CommandResult runCommand(const std::string& arguments, const std::string& directory);

// A whole file's contents; empty when it cannot be read.
std::string readFile(const std::string& path);
