// SPDX-License-Identifier: MIT
// SHA-1 and two-key Triple-DES from Mbed TLS.
#include "crypto/primitives.h"

#include <mbedtls/des.h>
#include <mbedtls/sha1.h>

void sha1Digest(const unsigned char* input, std::size_t size, unsigned char* digest) {
  mbedtls_sha1_ret(input, size, digest);
}

void tdes2KeyEcbEncrypt(const unsigned char* key, const unsigned char* input, unsigned char* output,
                        std::size_t blocks) {
  mbedtls_des3_context context;
  mbedtls_des3_init(&context);
  mbedtls_des3_set2key_enc(&context, key);
  for (std::size_t block = 0; block < blocks; ++block) {
    mbedtls_des3_crypt_ecb(&context, input + 8 * block, output + 8 * block);
  }
  // Also wipes the key schedule.
  mbedtls_des3_free(&context);
}
