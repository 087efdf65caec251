// SPDX-License-Identifier: MIT
// The network process's confinement after its start (Landlock): it keeps the files it uses while
// it serves, and gives up the rest, device nodes and the SKF library's folders among them, for
// good. Its token processes come from the starter, forked before, and are not confined by it.
#pragma once

#include <string>
#include <vector>

namespace confine {

enum class Use {
  read,           // read a file, or the files and entries of a folder
  readWrite,      // read and write a file (not create it)
  keepFiles,      // a folder: read, write, create, replace (rename) and remove its files
  removeEntries,  // a folder: remove an entry (the agent socket at the daemon's stop)
};

struct Allowed {
  std::string path;
  Use use;
};

struct Result {
  int abi = 0;      // the kernel's Landlock version in use, 0 when not confined
  bool tcp = false; // also no TCP bind or connect (from version 4)
  std::string why;  // when not confined: why, for the log
};

// What the network process keeps: the consent folder (its decision files), the agent socket's
// folder (to remove the socket when it stops), /dev/null, and its own /proc entries. Empty paths
// (consent off) are left out.
std::vector<Allowed> networkProcessAccess(const std::string& consentDirectory, const std::string& agentSocket);

// Restricts this process (one thread: this one) and every process it starts from now on to the
// listed paths, as far as the kernel's Landlock version can: every file-system access it knows of,
// and from version 4 binding and connecting TCP sockets (sockets already bound stay). A path that
// does not exist is left out. A kernel without Landlock, or a seccomp filter refusing it, leaves the
// process as it was, with why.
Result confineTo(const std::vector<Allowed>& allowed);

// The confinement in words, for the start's log line.
std::string describe(const Result& result);

}  // namespace confine
