// SPDX-License-Identifier: MIT
// Which user runs the program at the other end of a TCP connection we accepted on this machine:
// one exact socket lookup in the kernel (sock_diag over netlink), no capability needed.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>

namespace consent {

// `peer` and `local` are the connection's two ends as getpeername() and getsockname() give them.
// The answer is the owner of the peer's socket, trusted only while that socket is established and
// still has an inode: once its program has closed it the kernel reports uid 0 for it.
// None when the peer is not a socket of this machine, has gone, or the families differ.
std::optional<uid_t> peerUid(const sockaddr_storage& peer, const sockaddr_storage& local);

}  // namespace consent
