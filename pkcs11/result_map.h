// SPDX-License-Identifier: MIT
// PKCS#11 results turned into SKF results, and PIN flags turned into the tries left the service
// reports. PKCS#11 gives flags, not a count, so the count is the honest lower bound the flags allow.
#pragma once

#include <p11-kit/pkcs11.h>

#include "token/skf.h"

namespace pkcs11skf {

// The SKF code for a PKCS#11 result (SAR_FAIL for one the table does not name).
ULONG sarFor(CK_RV rv);

// True for the results that mean the token or the module behind it is gone.
bool meansBackendGone(CK_RV rv);

enum class PinOwner { user, admin };

// Tries left from the token's flags: 0 when locked, 1 on the final try, else 2 ("at least two").
// Never 0 without a lock, since the service tells the page "locked" for 0.
ULONG triesFromFlags(CK_FLAGS tokenFlags, PinOwner owner);

}  // namespace pkcs11skf
