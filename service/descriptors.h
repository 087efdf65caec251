// SPDX-License-Identifier: MIT
// What a freshly forked helper process keeps of the daemon's descriptors.
#pragma once

#include <initializer_list>

// Closes every descriptor but 0, 1, 2 and those in keep: the listeners, the pages' sockets and the
// rest of the daemon's are none of a helper's business.
void closeDescriptorsExcept(std::initializer_list<int> keep);
