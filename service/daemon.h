// SPDX-License-Identifier: MIT
// Turning the started program into a detached daemon, and telling the starter how start-up ended.
#pragma once

#include <string>

// Ignores the terminal signals and SIGHUP, forks, starts a new session, forks again, closes
// descriptors 0..255, changes to "/", sets the umask to 077, ignores SIGCHLD and reopens 0, 1 and 2 on
// /dev/null. Returns 0 in the detached grandchild, -1 in a process whose fork failed. The process
// that was started does not return: it waits until the daemon reports (startupDone or
// startupFailed) and exits 0, or prints the failure on standard error and exits 1.
int init_daemon();

// The daemon is serving: the starting process exits 0.
void startupDone();

// Start-up failed: the starting process prints "tokenbridged: <why>" on standard error and exits 1;
// the calling process exits 1 as well. Called before init_daemon(), the caller is the starting
// process and prints the line itself.
[[noreturn]] void startupFailed(const std::string& why);
