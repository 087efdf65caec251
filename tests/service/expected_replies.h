// SPDX-License-Identifier: MIT
// Reply texts the tests expect, written out independently of the code that builds them.
#pragma once

#include <string>

namespace expected {

// The envelope with a type: {"type":"<type>", "code":"<code>", "data":"<data>"}.
inline std::string reply(const std::string& type, const std::string& code, const std::string& data) {
  return "{\"type\":\"" + type + "\", \"code\":\"" + code + "\", \"data\":\"" + data + "\"}";
}

inline const std::string kVersionReply = R"({"type":"GetLibVersion", "code":"0", "data":"1.0.220104"})";
inline const std::string kUnparsable = R"({"type":"VQUnSupport", "code":"-1", "data":"-1098"})";
inline const std::string kUnknownEmpty = R"({"type":"VQUnSupport", "code":"-1", "data":"-1097"})";

}  // namespace expected
