// SPDX-License-Identifier: MIT
// The device and PIN commands, one per request type, and the one place that says which of the
// process-wide handles stay open between requests:
//
//   request                 g_hDev (device) after it                     g_hApp (application)
//   OpenDevice              a new connection on success, else unchanged   closed
//   GetDevState             unchanged                                     closed
//   GetUserName             connected if it was or the connect succeeded  closed
//   CloseDevice             closed, unless the application close is       closed
//                           refused (then unchanged)
//   VerifyUserPin,          closed, in every outcome                      closed
//   ChangeUserPin,
//   UnblockUserPin
//   ZPSHA1 (crypto/)        closed on success, else unchanged             closed
//   ZPCrypt (crypto/)       closed on success; after a refused serial     closed
//                           number as GetUserName leaves it
//
// So g_hApp is only ever open inside a PIN command, which opens it itself; the device a PIN
// command finds connected is reused and then disconnected.
#pragma once

// 0 when the token was connected ("TRUE" written to out, 5 bytes), 1 otherwise ("FALSE", 6 bytes).
// Connects again even when a device is already connected.
int OpenDevice(unsigned char* out);

// 1 when a token is present; *state receives the same value.
unsigned char GetDevState(int* state);

// 1 when the token's serial number was read into out (33 bytes); connects when g_hDev is zero. On
// failure out is empty (no token) or "0000".
unsigned char GetUserName(unsigned char* out);

// 1 when the application and then the device were closed (or were not open), 0 when the library
// refused either.
unsigned char CloseDevice();

// 1 when the user PIN was accepted; *out = 1, or 0 when refused with tries left (or the token
// could not be opened), or -1 when refused with none left.
unsigned char VerifyUserPin(unsigned char* pin, int* out);

// 1 when the user PIN was changed; on a refused change *out = the tries left.
unsigned char ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, int* out);

// 1 when the administrator PIN unblocked the user PIN and set it; on a refusal *out = the
// administrator PIN's tries left.
unsigned char UnblockUserPin(unsigned char* adminPin, unsigned char* newUserPin, int* out);
