// SPDX-License-Identifier: MIT
// Reading a small file whole: the settings file and the remembered consent decisions.
#pragma once

#include <string>

struct FileText {
  std::string text;
  int error = 0;        // errno of the step that failed; 0 when the whole file was read
  bool opened = false;  // the failure came after open (a read)
};

// `followLinks` false: a symbolic link as the last name is an error (ELOOP), not followed.
FileText readFileText(const std::string& path, bool followLinks = true);
