// SPDX-License-Identifier: MIT
// The device and PIN commands, one per request type. Each says what it returns and which of the
// process-wide handles (g_hDev, g_hApp) are open after it; g_hApp is never open between requests.
#pragma once

// 0 when the token was connected ("TRUE" written to out, 5 bytes), 1 otherwise ("FALSE", 6 bytes).
// Connects again even when a device is already connected; the connection stays open.
int OpenDevice(unsigned char* out);

// 1 when a token is present; *state receives the same value. No handle is touched.
unsigned char GetDevState(int* state);

// 1 when the token's serial number was read into out (33 bytes). Connects when g_hDev is zero; the
// device stays connected whatever the outcome. On failure out is empty (no token) or "0000".
unsigned char GetUserName(unsigned char* out);

// 1 when the application and then the device were closed (or were not open). When the application
// close is refused, the device stays connected and the result is 0.
unsigned char CloseDevice();

// The PIN commands connect if needed, open the first application, make their PIN call, then close
// the application and disconnect: no handle is open afterwards, in every outcome.

// 1 when the user PIN was accepted; *out = 1, or 0 when refused with tries left (or the token
// could not be opened), or -1 when refused with none left.
unsigned char VerifyUserPin(unsigned char* pin, int* out);

// 1 when the user PIN was changed; on a refused change *out = the tries left.
unsigned char ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, int* out);

// 1 when the administrator PIN unblocked the user PIN and set it; on a refusal *out = the
// administrator PIN's tries left.
unsigned char UnblockUserPin(unsigned char* adminPin, unsigned char* newUserPin, int* out);
