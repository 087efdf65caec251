// SPDX-License-Identifier: MIT
#include "service/consent/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace consent {
namespace {

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string wrongWith(const std::string& directory, bool mayBeMissing) {
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) {
    if (errno == ENOENT && mayBeMissing) return "";
    return std::strerror(errno);
  }
  if (S_ISLNK(info.st_mode)) return "a symbolic link; name the directory itself";
  if (!S_ISDIR(info.st_mode)) return "not a directory";
  if (info.st_uid != ::geteuid()) {
    return "owned by uid " + std::to_string(info.st_uid) + ", not by this service's user (uid " +
           std::to_string(::geteuid()) + ")";
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by other users; make it 0755 or 0700";
  return "";
}

std::string say(const PathSetting& setting, const std::string& directory, const std::string& wrong) {
  const std::string where = setting.at.empty() ? std::string(setting.key) + " (default)" : setting.at + ": " + setting.key;
  return where + ": " + directory + ": " + wrong;
}

}  // namespace

std::string checkConsentPaths(const PathSetting& consentDir, const PathSetting& agentSocket) {
  // Under systemd the unit's StateDirectory made its parent. Started by hand that may be missing
  // too: then decisions are kept for this run only (the store says so when it cannot write).
  ::mkdir(consentDir.path.c_str(), 0700);
  if (const std::string wrong = wrongWith(consentDir.path, true); !wrong.empty()) {
    return say(consentDir, consentDir.path, wrong);
  }
  // A missing one is reported when the socket cannot be made (pages are then served unasked).
  const std::string socketDirectory = directoryOf(agentSocket.path);
  if (const std::string wrong = wrongWith(socketDirectory, true); !wrong.empty()) {
    return say(agentSocket, socketDirectory, wrong);
  }
  return "";
}

}  // namespace consent
