// SPDX-License-Identifier: MIT
#include "service/consent/peer_uid.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace consent {
namespace {

// The kernel's TCP_ESTABLISHED state number (netinet/tcp.h calls it the same).
constexpr int kEstablished = TCP_ESTABLISHED;

// Port (network order) and address of one end into the request's fields.
bool copyEnd(const sockaddr_storage& end, int family, __be16& port, __be32* address) {
  if (end.ss_family != family) return false;
  if (family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(end);
    port = in.sin_port;
    std::memcpy(address, &in.sin_addr, sizeof in.sin_addr);
  } else {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(end);
    port = in6.sin6_port;
    std::memcpy(address, &in6.sin6_addr, sizeof in6.sin6_addr);
  }
  return true;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<uid_t> peerUid(const sockaddr_storage& peer, const sockaddr_storage& local) {
  const int family = peer.ss_family;
  if (family != AF_INET && family != AF_INET6) return std::nullopt;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = static_cast<__u8>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = 1u << kEstablished;
  // The peer's socket: its own end is the source, ours the destination. Asked the other way round
  // the kernel describes our own socket, which belongs to us.
  inet_diag_sockid& id = message.request.id;
  if (!copyEnd(peer, family, id.idiag_sport, id.idiag_src) || !copyEnd(local, family, id.idiag_dport, id.idiag_dst)) {
    return std::nullopt;
  }
  id.idiag_if = 0;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  const Descriptor netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (netlink.get() < 0) return std::nullopt;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof message)) {
    return std::nullopt;
  }
  alignas(nlmsghdr) char buffer[8192];
  ssize_t length;
  do {
    length = ::recv(netlink.get(), buffer, sizeof buffer, 0);
  } while (length < 0 && errno == EINTR);
  if (length <= 0) return std::nullopt;

  const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
  if (!NLMSG_OK(reply, static_cast<unsigned>(length)) || reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    return std::nullopt;  // NLMSG_ERROR: no such socket
  }
  const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
  if (socket->idiag_state != kEstablished || socket->idiag_inode == 0) return std::nullopt;
  return static_cast<uid_t>(socket->idiag_uid);
}

}  // namespace consent
