// SPDX-License-Identifier: MIT
// Locking and atomic replacement of the state file. The lock is flock on a separate file next to
// the state, because the state file itself is replaced by rename and a lock on it would be lost
// with the old inode. A write goes to a temporary file in the same directory, is synced, renamed
// over the state and the directory synced, so a crash leaves either the old file or the new one
// (and at worst an orphaned temporary file, which the next write removes).
#include "softtoken/state_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace softtoken {

namespace {

// Closes the descriptor (and so drops its flock) when the holder goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Owner only, whatever the umask: the state holds the PINs, and anyone who can open the lock file
// can hold its lock and stall every call.
constexpr mode_t kPrivateFile = 0600;

// Gives a file of ours the private mode (a file left by an older version may be wider). Another
// user's file is left as it is; we could not change it anyway.
void makePrivate(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != kPrivateFile && st.st_uid == ::geteuid()) {
    ::fchmod(fd, kPrivateFile);
  }
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives a file this process has just made the owner and group of the directory it is in. The
// installed service runs as a user of its own that owns /var/lib/softtoken; root changing the token
// there (the operator's softtoken command, the package's scripts) must leave every file that user's.
// Only root can give a file away; anyone else already owns what it makes there, or fails harmlessly.
void takeDirectoryOwner(int fd, const std::string& path) {
  struct stat directory {};
  struct stat file {};
  if (::stat(directoryOf(path).c_str(), &directory) != 0 || ::fstat(fd, &file) != 0) return;
  if (file.st_uid != directory.st_uid || file.st_gid != directory.st_gid) {
    if (::fchown(fd, directory.st_uid, directory.st_gid) != 0) {
      // Not ours to give: the file stays the caller's, as before.
    }
  }
}

// The lock file's descriptor with the lock held, or -1 when there is no lock file to be had (for
// example the directory does not exist): reading then goes on unlocked, which rename keeps safe.
// Never through a symbolic link: the directory's owner may be less trusted than the caller (root
// in the service's directory), and a link would point the mode change or the owner elsewhere.
int takeLock(const std::string& path, int operation) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFile);
  if (fd >= 0) takeDirectoryOwner(fd, path);
  if (fd < 0) fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) makePrivate(fd);
  if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

std::optional<std::string> readAll(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    // A state file is a few hundred bytes; anything huge is not ours.
    if (text.size() > (1u << 20)) return std::nullopt;
  }
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string failure(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

// Removes temporary files that a writer killed mid-write left beside path. Only called under the
// exclusive lock, which every writer holds while its temporary file exists, so none is in use.
void removeOrphans(const std::string& path) {
  const std::string directory = directoryOf(path);
  const std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp.";
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

// Writes text to a temporary file beside path, syncs it and renames it over path, then syncs the
// directory so the rename itself survives a power cut.
bool replaceAtomically(const std::string& path, const std::string& text, std::string* error) {
  removeOrphans(path);
  std::string temporary = path + ".tmp.XXXXXX";
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) {
    if (error) *error = failure("cannot create a temporary file for", path);
    return false;
  }
  // mkstemp makes it 0600 already; said again so the state never becomes wider than that.
  ::fchmod(fd.get(), kPrivateFile);
  takeDirectoryOwner(fd.get(), path);
  if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    if (error) *error = failure("cannot write", temporary);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    if (error) *error = failure("cannot rename over", path);
    ::unlink(temporary.c_str());
    return false;
  }
  FileDescriptor directory(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
  return true;
}

}  // namespace

std::string statePath(const std::string& override) {
  if (!override.empty()) return override;
  const char* fromEnvironment = std::getenv("SOFTTOKEN_STATE");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return kDefaultStatePath;
}

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

std::optional<TokenState> StateFile::load() const {
  FileDescriptor lock(takeLock(lockPath(), LOCK_SH));
  const std::optional<std::string> text = readAll(path_);
  if (!text) return std::nullopt;
  return parseState(*text);
}

bool StateFile::update(const std::function<bool(std::optional<TokenState>&)>& change, std::string* error) const {
  FileDescriptor lock(takeLock(lockPath(), LOCK_EX));
  std::optional<TokenState> state;
  if (const std::optional<std::string> text = readAll(path_)) state = parseState(*text);
  if (!change(state)) return true;
  if (lock.get() < 0 || !state) {
    if (error) *error = "cannot lock " + lockPath() + " to write the state (is its directory there and writable?)";
    return false;
  }
  return replaceAtomically(path_, formatState(*state), error);
}

}  // namespace softtoken
