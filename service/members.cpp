// SPDX-License-Identifier: MIT
// Member conversions of a request.
#include "service/members.h"

#include <cstring>

std::string readText(const Json::Value& request, const char* name) {
  // The const lookup never adds the member; on a top-level value that is not an object (or null)
  // JsonCpp throws, which the dispatcher turns into a reply.
  const Json::Value& member = request[name];
  // A command gets NUL-terminated characters, so an escaped NUL ends the text here. A string is
  // read where it lies; anything else goes through JsonCpp's own conversion first.
  const char* begin = nullptr;
  const char* end = nullptr;
  if (member.getString(&begin, &end)) {
    return std::string(begin, strnlen(begin, static_cast<std::size_t>(end - begin)));
  }
  const std::string text = member.asString();
  return std::string(text.c_str());
}

int readInt(const Json::Value& request, const char* name) { return request[name].asInt(); }
