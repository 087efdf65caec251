// SPDX-License-Identifier: MIT
// The reply envelope, formatted in a fixed working buffer.
#include "service/reply.h"

#include <cstdio>

std::string getJsonData(std::string type, const char* data, int code) {
  // snprintf stops at 1023 characters and terminates, so a long echoed type cannot overrun the
  // buffer; the reply is then cut there.
  char buffer[1024] = {};
  if (type.empty()) {
    std::snprintf(buffer, sizeof buffer, "{\"type\":\"VQUnSupport\", \"code\":\"%d\", \"data\":\"%s\"}", code, data);
  } else {
    std::snprintf(buffer, sizeof buffer, "{\"type\":\"%s\", \"code\":\"%d\", \"data\":\"%s\"}", type.c_str(), code,
                  data);
  }
  return std::string(buffer);
}
