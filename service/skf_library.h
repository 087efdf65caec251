// SPDX-License-Identifier: MIT
// Which SKF library file the running daemon actually loaded, for its start-up log line.
#pragma once

#include <string>

// The path the dynamic loader opened and, when that is a link (the library slot), the file it
// leads to: "/usr/lib/.../libkv_5100rt.so -> /usr/lib/.../softtoken/libkv_5100rt.so".
std::string loadedSkfLibrary();
