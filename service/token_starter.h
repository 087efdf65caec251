// SPDX-License-Identifier: MIT
// The token processes' parent. The daemon forks it once, at its start and before it confines itself
// (service/file_confinement.h), so that the token processes it forks keep the access the library
// needs (device nodes, its own folders) while the daemon does without. It runs none of the
// library's code and nothing from the network: it forks a token process when asked, hands the
// daemon its socket, kills it when asked, and reports how each one ended.
#pragma once

#include <sys/types.h>

#include <optional>

#include "token/call_watch.h"

class TokenStarter {
 public:
  struct Started {
    pid_t pid;
    int socket;  // the daemon's end of the token process's socket; the caller owns it
  };
  struct Ended {
    pid_t pid;
    int status;  // as waitpid gives it
  };

  // Forks the starter. The token processes it starts get board (shared memory) from it.
  explicit TokenStarter(token::CallBoard* board);
  // Closes its sockets: the starter kills its token process, waits for it and exits. Waited for.
  ~TokenStarter();
  TokenStarter(const TokenStarter&) = delete;
  TokenStarter& operator=(const TokenStarter&) = delete;

  // Starts a token process and waits for the fork. Nothing (errno set) when it could not.
  std::optional<Started> start();
  // Kills the token process pid (SIGKILL) unless it has ended already: the starter, its parent,
  // knows, so a pid used again by another process is never hit.
  void kill(pid_t pid);

  // Readable when an end is reported, or when the starter itself is gone.
  int endings() const { return endings_; }
  // The next end reported: waits for it if block, else nothing when none is there yet. Nothing
  // after the starter has gone (gone() then says so).
  std::optional<Ended> takeEnding(bool block);
  bool gone() const { return gone_; }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  int commands_ = -1;  // requests, each answered before the next
  int endings_ = -1;   // ends, reported as they happen
  bool gone_ = false;
};
