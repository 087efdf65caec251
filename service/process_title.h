// SPDX-License-Identifier: MIT
// The name a process shows in ps, top and systemctl status: its command line (written over the
// program's own argument strings) and its short name (the kernel's 15 characters).
#pragma once

// Called by main with its arguments, before anything else reads them.
void keepProcessTitleArea(int argc, char** argv);

// The command line becomes title (cut to the room the original arguments had), the short name its
// first 15 characters.
void setProcessTitle(const char* title, const char* shortName);
