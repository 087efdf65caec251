// SPDX-License-Identifier: MIT
// Reading a request's members the way the command rows need them: as text or as a signed 32-bit
// integer. Conversions JsonCpp cannot make throw Json::Exception; the dispatcher catches them.
#pragma once

#include <json/value.h>

#include <string>

// A string's characters (up to an escaped NUL), "" for null or absent, "true"/"false" for booleans;
// numbers become their decimal text (JsonCpp's own conversion). Arrays and objects throw.
std::string readText(const Json::Value& request, const char* name);

// A number in the signed 32-bit range (a fraction is cut toward zero), 0 for null or absent, 1/0 for
// booleans. Strings, arrays, objects and numbers out of range throw.
int readInt(const Json::Value& request, const char* name);
