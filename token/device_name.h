// SPDX-License-Identifier: MIT
// The name the service connects to: the one device of the maker's library, which the software token
// and the PKCS#11 library also give their token by default.
#pragma once

namespace token {

inline constexpr char kDeviceName[] = "KV5100RT VCR 1";

}  // namespace token
