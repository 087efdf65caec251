// SPDX-License-Identifier: MIT
// What /proc says about a process: CPU time used (all threads) and resident memory. The load
// generator reads the server's figures from here, so server cost is measured outside the server.
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace bench {

// CPU time of all threads of pid and of the processes it started that still run (the daemon's
// token process), in nanoseconds (scheduler run time where the kernel exposes it, else utime +
// stime in clock ticks); -1 when the process cannot be read.
std::int64_t processCpuNanos(pid_t pid);

// CPU time of this process (all threads), user + system.
std::int64_t selfCpuNanos();

// VmRSS and VmHWM of pid in KiB; -1 when unreadable.
long residentKib(pid_t pid);
long peakResidentKib(pid_t pid);

// Resets VmHWM to the current RSS (clear_refs "5"); false when the kernel refuses.
bool resetPeakResident(pid_t pid);

}  // namespace bench
