// SPDX-License-Identifier: MIT
#include "token/skf_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

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

}  // namespace

std::string load() {
  if (g_handle != nullptr) return {};
  void* handle = dlopen(kLibraryFile, RTLD_NOW | RTLD_LOCAL);
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
