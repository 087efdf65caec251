// SPDX-License-Identifier: MIT
// The two commands that compute with a token in the loop. Both answer in upper-case hex; the
// handles they leave open are stated with all the others in token/commands.h.
#pragma once

// SHA-1 over the first 15 bytes of text (zero bytes stand in for bytes past its end), as 40 hex
// characters in out (50 bytes), answered only while a token can be connected. length is the text's
// length in bytes. 1 on success; 0 when the token could not be connected (out untouched).
unsigned char ZPSHA1(unsigned char* text, int length, unsigned char* out);

// Two-key Triple-DES (ECB, three 8-byte blocks) of the 24 bytes given as 48 hex characters in parm4,
// under the first 16 bytes of SHA-1 over the first 15 characters of the token's serial number; 48 hex
// characters in out (50 bytes). parm4 is upper-cased in place; characters missing from a shorter
// text count as zero bytes. parm2, parm3 and parm5 have no effect. 1 on success; 0 when the token
// could not be connected or its serial number read (out untouched).
unsigned char ZPCrypt(int parm2, int parm3, unsigned char* parm4, int parm5, unsigned char* out);
