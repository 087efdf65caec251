// SPDX-License-Identifier: MIT
// The application half of token access: open the token's first application, verify, change and
// unblock the user PIN in it, close it. The open application is the process-wide handle g_hApp;
// nothing here connects or disconnects the device (g_hDev is only read). Which handles stay open
// after each request is decided in token/commands.cpp and stated in token/commands.h.
#pragma once

#include "token/skf.h"

// The open application, or nullptr. Written only by Test_OpenApplication and Test_CloseApplication.
extern HAPPLICATION g_hApp;

class CApplicationTest {
 public:
  virtual ~CApplicationTest() = default;

  // 1 when the first listed application of the connected device was opened into g_hApp.
  // 0 without a connected device (no library call), when listing or opening failed, or when the
  // list's first name does not end within the buffer and the size the library reported.
  BYTE Test_OpenApplication();

  // The PIN operations work on the open application g_hApp and never open one: without a
  // connected device and an open application they return 0 with no library call, count untouched
  // (token/commands.cpp opens the application first). 1 when the library accepted; otherwise
  // count holds what the library put there (tries left).
  BYTE Test_VerifyPIN(unsigned char* pin, unsigned int* count);
  BYTE Test_ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, unsigned int* count);
  // The count is the administrator PIN's tries left.
  BYTE Test_UnblockPIN(unsigned char* adminPin, unsigned char* newUserPin, unsigned int* count);

  // 1 when nothing was open or the library closed it, 0 when it refused; g_hApp is zero afterwards.
  BYTE Test_CloseApplication();
};
