// SPDX-License-Identifier: MIT
// A small file read whole, or replaced whole: the settings file and the consent directory's files;
// and a buffer written whole to a descriptor (a file, a pipe, a socket).
#pragma once

#include <string>
#include <string_view>

struct FileText {
  std::string text;
  int error = 0;        // errno of the step that failed; 0 when the whole file was read
  bool opened = false;  // the failure came after open (a read)
};

// `followLinks` false: a symbolic link as the last name is an error (ELOOP), not followed.
FileText readFileText(const std::string& path, bool followLinks = true);

// Writes `text` to PATH.new (mode 0600, never through a link), flushes it to disk and renames it
// over `path`: a reader sees the old file or the new one, never a part. 0 or the errno.
int replaceFileText(const std::string& path, const std::string& text);

// Writes all of `bytes`, retrying short writes and interruptions; false on any other failure.
bool writeAll(int fd, std::string_view bytes);
