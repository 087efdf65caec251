// SPDX-License-Identifier: MIT
// A SoftHSM2 token in a temporary directory, made with softhsm2-util (user PIN 12345678, SO PIN
// admin12345), and the library's settings file pointing at SoftHSM2; the environment variables that
// name both are set for this process and the programs it starts.
#pragma once

#include <string>

namespace softhsm {

inline const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";

// What a command printed on standard output and error.
std::string run(const std::string& command);

class TokenDir {
 public:
  // Empty dir() when softhsm2 is not installed.
  TokenDir();
  ~TokenDir();
  const std::string& dir() const { return dir_; }
  // Makes the token labelled "tb" in the first free slot; false with the tool's output on failure.
  bool make(std::string* output = nullptr) const;
  bool remove() const;
  // Points the library's settings file at another module.
  void useModule(const std::string& module) const;
  // The serial softhsm2-util shows for it, "?" when none.
  std::string serial() const;

 private:
  std::string dir_;
};

}  // namespace softhsm
