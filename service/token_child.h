// SPDX-License-Identifier: MIT
// The token process: the daemon's child that alone loads the SKF library and makes every token
// call, one job at a time, blocking, on one thread. It reads jobs from its socket (those sent
// ahead wait there, read but not started, until the one before is answered) and writes one
// answer for each; it ends when the daemon closes the socket or goes away.
#pragma once

#include "token/call_watch.h"

// In the child right after fork: keeps only the socket (and 0, 1, 2), takes its name, confines
// itself, loads the library (telling the daemon how that went) and serves. Never returns.
[[noreturn]] void runTokenChild(int socket, token::CallBoard* board);
