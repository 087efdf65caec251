// SPDX-License-Identifier: MIT
#include "token/skf_library.h"

#include <dlfcn.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace skf {
namespace {

Library g_library{};
void* g_handle = nullptr;

template <class Function>
bool find(void* handle, const char* name, Function& into, std::string& error) {
  into = reinterpret_cast<Function>(dlsym(handle, name));
  if (into == nullptr && error.empty()) error = std::string(kLibraryFile) + ": no " + name;
  return into != nullptr;
}

// The library in the directories the loader searches for the program's own libraries
// (LD_LIBRARY_PATH, the program's RUNPATH, the system's), first found first; empty when none has
// it. dlopen() searches the RUNPATH of the object that calls it, and under a sanitizer that object
// is the sanitizer's interceptor, not the program: so the file is found here and opened by path.
std::string findInProgramSearchPath() {
  void* self = dlopen(nullptr, RTLD_NOW);
  Dl_serinfo size{};
  if (self == nullptr || dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
  std::vector<unsigned char> buffer(size.dls_size);
  auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
  info->dls_size = size.dls_size;
  info->dls_cnt = size.dls_cnt;
  if (dlinfo(self, RTLD_DI_SERINFO, info) != 0) return {};
  for (unsigned i = 0; i < info->dls_cnt; ++i) {
    const std::string directory = info->dls_serpath[i].dls_name;
    if (directory.empty()) continue;
    const std::string candidate = directory + "/" + kLibraryFile;
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace

std::string load() {
  if (g_handle != nullptr) return {};
  const std::string found = findInProgramSearchPath();
  void* handle = dlopen(found.empty() ? kLibraryFile : found.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return why != nullptr ? why : "cannot load " + std::string(kLibraryFile);
  }
  Library table{};
  std::string error;
  find(handle, "SKF_EnumDev", table.SKF_EnumDev, error);
  find(handle, "SKF_ConnectDev", table.SKF_ConnectDev, error);
  find(handle, "SKF_DisConnectDev", table.SKF_DisConnectDev, error);
  find(handle, "SKF_GetDevInfo", table.SKF_GetDevInfo, error);
  find(handle, "SKF_EnumApplication", table.SKF_EnumApplication, error);
  find(handle, "SKF_OpenApplication", table.SKF_OpenApplication, error);
  find(handle, "SKF_CloseApplication", table.SKF_CloseApplication, error);
  find(handle, "SKF_VerifyPIN", table.SKF_VerifyPIN, error);
  find(handle, "SKF_ChangePIN", table.SKF_ChangePIN, error);
  find(handle, "SKF_UnblockPIN", table.SKF_UnblockPIN, error);
  if (!error.empty()) {
    dlclose(handle);
    return error;
  }
  g_library = table;
  g_handle = handle;
  return {};
}

const Library& library() {
  if (g_handle == nullptr) {
    if (const std::string error = load(); !error.empty()) {
      std::fprintf(stderr, "cannot load the SKF library: %s\n", error.c_str());
      std::abort();
    }
  }
  return g_library;
}

std::string loadedPath() {
  Dl_info info{};
  if (g_handle == nullptr || dladdr(reinterpret_cast<void*>(g_library.SKF_EnumDev), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "unknown";
  }
  std::string path = info.dli_fname;
  const std::unique_ptr<char, decltype(&std::free)> target(realpath(path.c_str(), nullptr), &std::free);
  if (target && path != target.get()) path += std::string(" -> ") + target.get();
  return path;
}

}  // namespace skf
