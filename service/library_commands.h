// SPDX-License-Identifier: MIT
// The two commands answered without a token: they touch no handle.
#pragma once

// Nothing to start: token presence is read afresh by every request. Returns 0 ("true" on the wire).
int StartMonitor(unsigned char* buffer);

// Writes the library's version text, NUL included (11 bytes), to out. Returns 1.
int GetLibVersion(unsigned char* out);
