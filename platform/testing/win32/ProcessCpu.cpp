// Process CPU time for the win32 backend: GetProcessTimes, in 100 ns units.
#include "platform/testing/ProcessCpu.h"

#include <windows.h>

namespace Platform {

uint64_t ProcessCpuMicroseconds() {
  FILETIME Created, Exited, Kernel, User;
  if (!GetProcessTimes(GetCurrentProcess(), &Created, &Exited, &Kernel, &User)) return 0;
  auto Us = [](const FILETIME& T) {
    return ((static_cast<uint64_t>(T.dwHighDateTime) << 32) | T.dwLowDateTime) / 10u;
  };
  return Us(Kernel) + Us(User);
}

}  // namespace Platform
