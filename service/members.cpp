// SPDX-License-Identifier: MIT
// Member conversions of a request.
#include "service/members.h"

std::string readText(const Json::Value& request, const char* name) {
  // The const lookup never adds the member; on a top-level value that is not an object (or null)
  // JsonCpp throws, which the dispatcher turns into a reply.
  const std::string text = request[name].asString();
  // A command gets NUL-terminated characters, so an escaped NUL ends the text here.
  return std::string(text.c_str());
}

int readInt(const Json::Value& request, const char* name) { return request[name].asInt(); }
