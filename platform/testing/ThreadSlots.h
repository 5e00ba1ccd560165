// Per-process resources that a library must give back when it is unloaded:
// thread-local-storage slots, open handles and threads, counted for tests and
// hosts.
#pragma once

#include <cstdint>

namespace Platform {

// Thread-local-storage slots still free in this process: TlsAlloc indexes on
// Windows (1,088 in all), pthread keys natively (1,024). It takes every free
// slot and then gives them all back, so a thread allocating one meanwhile may
// be refused: count only while no other thread can be starting up a runtime.
int32_t CountFreeThreadSlots();

// Kernel handles (Windows) or file descriptors (natively) open in this
// process now; -1 when they cannot be counted.
int32_t CountOpenHandles();

// Threads of this process now, as the system lists them (a thread that has
// ended is gone from the list even while handles to it are open); -1 when
// they cannot be counted. Under Wine /proc/self names the wineserver, which
// serves every process of the prefix, so /proc cannot count a Windows
// program's own threads or handles: use these.
int32_t CountThreads();

}  // namespace Platform
