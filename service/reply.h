// SPDX-License-Identifier: MIT
// The reply envelope: the one-line JSON text every request is answered with.
#pragma once

#include <string>

// Builds {"type":"<type>", "code":"<code>", "data":"<data>"}, or the "VQUnSupport" form when the
// type is empty. Nothing is escaped. The result is at most 1023 characters: a longer one is cut.
std::string getJsonData(const std::string& type, const char* data, int code);

// The type text shortened, at a UTF-8 character boundary, so that getJsonData(type, data, code)
// fits whole in 1023 characters: used where a request's own type is echoed, so the reply stays
// one complete envelope however long the type the page sent.
std::string typeThatFits(const std::string& type, const char* data, int code);
