// Helpers shared by the files of the posix backend only: the translation of
// errno values into the Windows error codes the interface speaks, and
// monotonic deadlines for timed waits.
#pragma once

#include <cstdint>
#include <ctime>

namespace Platform::Posix {

// The Windows error code that the equivalent Win32 call would have left for
// Errno; Fallback when there is no closer match.
uint32_t WindowsError(int Errno, uint32_t Fallback);

// Sets the calling thread's last error from errno (see WindowsError).
void SetLastErrorFromErrno(int Errno, uint32_t Fallback);

// Absolute CLOCK_MONOTONIC time TimeoutMs from now (for pthread_cond_timedwait
// on a condition variable set to the monotonic clock).
timespec MonotonicDeadline(uint32_t TimeoutMs);

}  // namespace Platform::Posix
