// SPDX-License-Identifier: MIT
// The application half of token access: open the token's first application, verify, change and
// unblock the user PIN in it, close it. The open application is the process-wide handle g_hApp;
// nothing here connects or disconnects the device (g_hDev is only read).
#pragma once

#include "token/skf.h"

// The open application, or nullptr. Written only by Test_OpenApplication and Test_CloseApplication.
extern HAPPLICATION g_hApp;

class CApplicationTest {
 public:
  virtual ~CApplicationTest() = default;

  // 1 when the first listed application of the connected device was opened into g_hApp.
  // 0 without a connected device (no library call) or when listing or opening failed.
  BYTE Test_OpenApplication();

  // The PIN operations need a connected device (else 0, no library call, count untouched). They
  // open the application themselves when g_hApp is zero and leave it open. 1 when the library
  // accepted; otherwise count holds what the library put there (tries left).
  BYTE Test_VerifyPIN(unsigned char* pin, unsigned int* count);
  BYTE Test_ChangeUserPin(unsigned char* oldPin, unsigned char* newPin, unsigned int* count);
  // The count is the administrator PIN's tries left.
  BYTE Test_UnblockPIN(unsigned char* adminPin, unsigned char* newUserPin, unsigned int* count);

  // 1 when nothing was open or the library closed it, 0 when it refused; g_hApp is zero afterwards.
  BYTE Test_CloseApplication();

 private:
  // The guard the PIN operations share: a connected device and an open application.
  // false when the PIN call must not be made; *result is then what the operation returns.
  bool ensureApplication(BYTE* result);
};
