// SPDX-License-Identifier: MIT
// Hexadecimal text helpers of the digest and cipher commands. They check nothing and allocate
// nothing: callers supply sizes that fit.
#pragma once

// Turns count hexadecimal characters (two per byte) into count/2 bytes at out. Reads exactly the
// counted characters, NUL bytes included. Characters that are not hex digits are not rejected: each
// character c (taken as signed) counts c-48 below ':', c-55 from ':' to 'F', c-87 above, and each
// byte is the low 8 bits of (high << 4) | low.
void HexStrToBytes(const char* text, unsigned long count, void* out);

// Writes 2*count lower-case hex characters and a terminating NUL (room for 2*count+1 bytes).
// Writes nothing at all when count <= 0.
void BytesToHexStr(char* text, const unsigned char* bytes, int count);

// Upper-cases 'a'..'z' in place; every other byte (digits, punctuation, bytes >= 0x80) is unchanged.
void toUp(char* text);
