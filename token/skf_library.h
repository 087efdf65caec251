// SPDX-License-Identifier: MIT
// The SKF library, loaded at run time: only the process that makes token calls (the daemon's token
// process, or a test driving the token in its own process) ever maps it. token/ calls the ten
// functions through this table, never by their names, so nothing that links token/ needs the
// library to start.
#pragma once

#include <string>

#include "token/skf.h"

namespace skf {

// The file looked for by the dynamic loader's rules for dlopen: LD_LIBRARY_PATH, then the
// program's RUNPATH (the library slot), then the system's directories.
inline constexpr char kLibraryFile[] = "libkv_5100rt.so";

struct Library {
  decltype(&::SKF_EnumDev) SKF_EnumDev;
  decltype(&::SKF_ConnectDev) SKF_ConnectDev;
  decltype(&::SKF_DisConnectDev) SKF_DisConnectDev;
  decltype(&::SKF_GetDevInfo) SKF_GetDevInfo;
  decltype(&::SKF_EnumApplication) SKF_EnumApplication;
  decltype(&::SKF_OpenApplication) SKF_OpenApplication;
  decltype(&::SKF_CloseApplication) SKF_CloseApplication;
  decltype(&::SKF_VerifyPIN) SKF_VerifyPIN;
  decltype(&::SKF_ChangePIN) SKF_ChangePIN;
  decltype(&::SKF_UnblockPIN) SKF_UnblockPIN;
};

// Loads the library and looks up the ten functions. Empty on success (also when loaded before),
// else why not, in the dynamic loader's words ("libkv_5100rt.so: cannot open shared object file:
// No such file or directory").
std::string load();

// The table; loads the library first if load() was not called, and ends the process with a line on
// standard error when it cannot be loaded (a test run without the library).
const Library& library();

// The path the dynamic loader opened and, when that is a link (the library slot), the file it
// leads to: "/usr/lib/.../libkv_5100rt.so -> /usr/lib/.../softtoken/libkv_5100rt.so". "unknown"
// before a successful load().
std::string loadedPath();

}  // namespace skf
