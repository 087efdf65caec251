// SPDX-License-Identifier: MIT
#include "service/skf_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>

std::string loadedSkfLibrary() {
  // dlsym rather than &SKF_EnumDev: the address of the definition inside the library, never a stub
  // in our own executable.
  void* function = dlsym(RTLD_DEFAULT, "SKF_EnumDev");
  Dl_info info{};
  if (function == nullptr || dladdr(function, &info) == 0 || info.dli_fname == nullptr) return "unknown";
  std::string path = info.dli_fname;
  const std::unique_ptr<char, decltype(&std::free)> target(realpath(path.c_str(), nullptr), &std::free);
  if (target && path != target.get()) path += std::string(" -> ") + target.get();
  return path;
}
