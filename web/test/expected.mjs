// SPDX-License-Identifier: MIT
// Values the service must produce, computed here with node:crypto alone so the tests do not
// take them from the service or from the page.

import { createCipheriv, createHash } from "node:crypto";

// The first 15 bytes of the text's UTF-8 form, a shorter text padded with zero bytes.
function first15(text) {
  const bytes = Buffer.alloc(15);
  Buffer.from(text, "utf8").copy(bytes, 0, 0, 15);
  return bytes;
}

// The digest request's answer: SHA-1 over those 15 bytes, upper-case hex.
export function expectedDigest(text) {
  return createHash("sha1").update(first15(text)).digest("hex").toUpperCase();
}

// The cipher request's answer: two-key Triple-DES (ECB, no padding) of the 24 bytes, keyed with the
// first 16 bytes of SHA-1 over the serial number's first 15 bytes.
export function expectedCipher(serial, hex48) {
  const key = createHash("sha1").update(first15(serial)).digest().subarray(0, 16);
  const cipher = createCipheriv("des-ede-ecb", key, null).setAutoPadding(false);
  return Buffer.concat([cipher.update(Buffer.from(hex48, "hex")), cipher.final()]).toString("hex").toUpperCase();
}
