// SPDX-License-Identifier: MIT
// The two Mbed TLS primitives the commands use, in the shape the commands need them.
#pragma once

#include <cstddef>

// SHA-1 of size bytes into a 20-byte digest.
void sha1Digest(const unsigned char* input, std::size_t size, unsigned char* digest);

// Two-key Triple-DES (encrypt K1, decrypt K2, encrypt K1) of blocks independent 8-byte blocks (ECB:
// no chaining, no padding). key is 16 bytes, K1 then K2; parity bits are ignored, no key is refused.
void tdes2KeyEcbEncrypt(const unsigned char* key, const unsigned char* input, unsigned char* output,
                        std::size_t blocks);
