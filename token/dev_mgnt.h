// SPDX-License-Identifier: MIT
// The device half of token access: presence, connect, serial number, disconnect. The connection is
// the one process-wide handle g_hDev; CDevMgntTest holds nothing and is made on the stack per call.
// Which handles stay open after each request is stated in token/commands.h.
#pragma once

#include "token/skf.h"

// The connected device, or nullptr. Written only by Test_ConnectDev and Test_DisConnectDev.
extern DEVHANDLE g_hDev;

class CDevMgntTest {
 public:
  virtual ~CDevMgntTest() = default;

  // 1 when a token is present and the library connected it (g_hDev then holds the new handle; an
  // earlier one is disconnected); 0 otherwise, g_hDev unchanged.
  // Does not look at g_hDev first. Prints the connect trace line after every connect call.
  BYTE Test_ConnectDev();

  // 1 and *state = 1 when a token is present; 0 and *state = 0 otherwise. Touches no handle.
  BYTE Test_GetDevState(int* state);

  // Connects first when g_hDev is zero, never disconnects. 1: the serial number (at most 32
  // characters, terminated) is in serial, which has room for 33 bytes. 0: serial untouched when the
  // connect failed, "0000" when the device information was refused.
  BYTE Test_GetDevInfo(unsigned char* serial);

  // 1 when nothing was connected or the library disconnected, 0 when it refused; g_hDev is zero
  // afterwards in every case.
  BYTE Test_DisConnectDev();
};
