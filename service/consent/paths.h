// SPDX-License-Identifier: MIT
// The consent directory and the agent socket's directory must be the service's own: a directory
// another user could write (or made first) would let them plant remembered decisions or a socket.
#pragma once

#include <string>

namespace consent {

// One of the two settings: its key, its path and where the settings file set it ("FILE:LINE",
// empty for the default).
struct PathSetting {
  const char* key;
  std::string path;
  std::string at;
};

// Makes the consent directory if it is missing (mode 0700), then checks it and the socket's
// directory, each if it exists: a directory, not a link, owned by this process's user, writable by
// nobody else. "" or the line to stop with: "FILE:LINE: consent-dir: PATH: what is wrong".
std::string checkConsentPaths(const PathSetting& consentDir, const PathSetting& agentSocket);

}  // namespace consent
