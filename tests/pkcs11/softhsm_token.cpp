// SPDX-License-Identifier: MIT
#include "tests/pkcs11/softhsm_token.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace softhsm {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[256];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  if (pipe != nullptr) pclose(pipe);
  return out;
}

TokenDir::TokenDir() {
  if (!std::filesystem::exists(kModule)) return;
  std::string pattern = (std::filesystem::temp_directory_path() / "pkcs11-softhsm.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  dir_ = pattern;
  std::filesystem::create_directory(dir_ + "/tokens");
  std::ofstream(dir_ + "/softhsm2.conf") << "directories.tokendir = " << dir_ << "/tokens\nobjectstore.backend = file\n";
  useModule(kModule);
  setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);
  setenv("TOKENBRIDGE_PKCS11_CONF", (dir_ + "/pkcs11.conf").c_str(), 1);
}

void TokenDir::useModule(const std::string& module) const {
  std::ofstream(dir_ + "/pkcs11.conf") << "module = " << module << "\n";
}

TokenDir::~TokenDir() {
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

bool TokenDir::make(std::string* output) const {
  const std::string out = run("softhsm2-util --init-token --free --label tb --pin 12345678 --so-pin admin12345");
  if (output != nullptr) *output = out;
  return out.find("has been initialized") != std::string::npos;
}

bool TokenDir::remove() const {
  return run("softhsm2-util --delete-token --token tb").find("has been deleted") != std::string::npos;
}

std::string TokenDir::serial() const {
  const std::string out = run("softhsm2-util --show-slots");
  const auto label = out.find("Label:            tb");
  const auto at = label == std::string::npos ? std::string::npos : out.rfind("Serial number:", label);
  if (at == std::string::npos) return "?";
  const auto start = out.find_first_not_of(' ', at + 14);
  return out.substr(start, out.find('\n', start) - start);
}

}  // namespace softhsm
