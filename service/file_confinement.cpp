// SPDX-License-Identifier: MIT
// Landlock through its three system calls. The access bits and the ruleset's layout are the
// kernel's ABI, spelled out here so that rights newer than the build machine's header are used
// where the running kernel has them.
#include "service/file_confinement.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace confine {
namespace {

// File-system rights, with the Landlock version that brought each.
constexpr std::uint64_t kExecute = 1ULL << 0;
constexpr std::uint64_t kWriteFile = 1ULL << 1;
constexpr std::uint64_t kReadFile = 1ULL << 2;
constexpr std::uint64_t kReadDir = 1ULL << 3;
constexpr std::uint64_t kRemoveFile = 1ULL << 5;
constexpr std::uint64_t kMakeReg = 1ULL << 8;
constexpr std::uint64_t kAllOfVersion1 = (1ULL << 13) - 1;
constexpr std::uint64_t kRefer = 1ULL << 13;     // version 2
constexpr std::uint64_t kTruncate = 1ULL << 14;  // version 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;  // version 5
constexpr std::uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;
// Network rights (version 4).
constexpr std::uint64_t kBindTcp = 1ULL << 0;
constexpr std::uint64_t kConnectTcp = 1ULL << 1;

constexpr unsigned kRulesetVersion = 1U << 0;  // LANDLOCK_CREATE_RULESET_VERSION
constexpr int kRulePathBeneath = 1;            // LANDLOCK_RULE_PATH_BENEATH

struct RulesetAttributes {
  std::uint64_t handledFs;
  std::uint64_t handledNet;
};

struct [[gnu::packed]] PathBeneath {
  std::uint64_t allowed;
  std::int32_t parent;
};

#if defined(SYS_landlock_create_ruleset) && defined(SYS_landlock_add_rule) && defined(SYS_landlock_restrict_self)
int createRuleset(const RulesetAttributes* attributes, std::size_t size, unsigned flags) {
  return static_cast<int>(::syscall(SYS_landlock_create_ruleset, attributes, size, flags));
}
int addRule(int ruleset, const PathBeneath& rule) {
  return static_cast<int>(::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0U));
}
int restrictSelf(int ruleset) { return static_cast<int>(::syscall(SYS_landlock_restrict_self, ruleset, 0U)); }
#else
int createRuleset(const RulesetAttributes*, std::size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}
int addRule(int, const PathBeneath&) {
  errno = ENOSYS;
  return -1;
}
int restrictSelf(int) {
  errno = ENOSYS;
  return -1;
}
#endif

std::uint64_t handledFor(int abi) {
  std::uint64_t rights = kAllOfVersion1;
  if (abi >= 2) rights |= kRefer;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDev;
  return rights;
}

std::uint64_t rightsOf(Use use) {
  switch (use) {
    case Use::read:
      return kReadFile | kReadDir;
    case Use::readWrite:
      return kReadFile | kWriteFile | kTruncate;
    case Use::keepFiles:
      return kReadFile | kWriteFile | kTruncate | kReadDir | kMakeReg | kRemoveFile;
    case Use::removeEntries:
      return kRemoveFile;
  }
  return 0;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::vector<Allowed> networkProcessAccess(const std::string& consentDirectory, const std::string& agentSocket) {
  std::vector<Allowed> allowed = {{"/dev/null", Use::readWrite}, {"/proc/self", Use::read}};
  if (!consentDirectory.empty()) allowed.push_back({consentDirectory, Use::keepFiles});
  if (!agentSocket.empty()) allowed.push_back({folderOf(agentSocket), Use::removeEntries});
  return allowed;
}

Result confineTo(const std::vector<Allowed>& allowed) {
  Result result;
  const int abi = createRuleset(nullptr, 0, kRulesetVersion);
  if (abi < 0) {
    result.why = errno == ENOSYS       ? "this kernel (or emulator) has no Landlock"
                 : errno == EOPNOTSUPP ? "Landlock is turned off in this kernel"
                                       : std::string("Landlock refused: ") + std::strerror(errno);
    return result;
  }
  const std::uint64_t handled = handledFor(abi);
  const RulesetAttributes attributes{handled, abi >= 4 ? kBindTcp | kConnectTcp : 0};
  const Descriptor ruleset(createRuleset(&attributes, abi >= 4 ? sizeof attributes : sizeof attributes.handledFs, 0));
  if (ruleset.get() < 0) {
    result.why = std::string("cannot make a Landlock ruleset: ") + std::strerror(errno);
    return result;
  }
  for (const Allowed& entry : allowed) {
    const Descriptor path(::open(entry.path.c_str(), O_PATH | O_CLOEXEC));
    if (path.get() < 0) continue;
    std::uint64_t rights = rightsOf(entry.use) & handled;
    // A file (not a folder) takes only the rights of a file.
    struct stat info {};
    if (::fstat(path.get(), &info) == 0 && !S_ISDIR(info.st_mode)) rights &= kFileRights;
    if (rights == 0) continue;
    if (addRule(ruleset.get(), {rights, path.get()}) != 0) {
      result.why = "cannot allow " + entry.path + " in the Landlock ruleset: " + std::strerror(errno);
      return result;
    }
  }
  // Required of a process without CAP_SYS_ADMIN; the service's unit sets it anyway.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || restrictSelf(ruleset.get()) != 0) {
    result.why = std::string("Landlock refused: ") + std::strerror(errno);
    return result;
  }
  result.abi = abi;
  result.tcp = abi >= 4;
  return result;
}

std::string describe(const Result& result) {
  if (result.abi == 0) return "network process: runs without its file confinement: " + result.why;
  return "network process: files confined (Landlock version " + std::to_string(result.abi) +
         "): no device but /dev/null, no library folder, only its consent files" +
         (result.tcp ? "; no new TCP bind or connect" : "");
}

}  // namespace confine
