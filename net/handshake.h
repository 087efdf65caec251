// SPDX-License-Identifier: MIT
// The WebSocket upgrade answer: the accept value computed from the client's key and the exact
// 101 response text. Pure functions over Mbed TLS's SHA-1.
#pragma once

#include <string>
#include <string_view>

namespace net {

// base64(SHA-1(key + the RFC 6455 GUID)), 28 characters. The key is not validated.
std::string acceptValue(std::string_view key);

// Appends the whole 101 response to `out`. The Sec-WebSocket-Protocol line is present only when
// `protocol` is not empty, and carries it unchanged.
void appendHandshakeResponse(std::string& out, std::string_view key, std::string_view protocol);

}  // namespace net
