// SPDX-License-Identifier: MIT
#include "service/socket_filter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// The system-call convention this program is built for: a call made in another (i386 or x32 on
// x86-64) carries other numbers, so the filter refuses every such call rather than misread it.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && defined(__AARCH64EL__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#elif defined(__mips__) && defined(__MIPSEL__) && defined(_ABI64) && _MIPS_SIM == _ABI64
constexpr unsigned kArch = AUDIT_ARCH_MIPSEL64;
#else
constexpr unsigned kArch = 0;
#endif

constexpr unsigned kX32Bit = 0x40000000;  // set in x32 call numbers on x86-64

}  // namespace

std::string refuseInternetSockets() {
  if (kArch == 0) return "no socket filter for this architecture";
  const unsigned refuse = SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA);
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      // The domain: the low 32 bits of the first argument (little-endian targets only, above).
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, refuse),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return std::string("no_new_privs: ") + std::strerror(errno);
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0) {
    return std::string("seccomp: ") + std::strerror(errno);
  }
  return {};
}
