// SPDX-License-Identifier: MIT
// The token process's confinement: a seccomp filter that refuses new Internet sockets (AF_INET,
// AF_INET6) with EACCES, so a compromised token library cannot reach the network. Unix and netlink
// sockets stay (pcscd's socket, USB hot-plug events); nothing else is filtered.
#pragma once

#include <string>

// Installs the filter on the calling thread (with no_new_privs; both are kept across fork and
// exec). Empty when it is in force, else why not (an architecture without a rule here, a kernel or
// emulator without seccomp); the process then runs as before.
std::string refuseInternetSockets();
