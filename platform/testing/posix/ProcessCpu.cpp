// Process CPU time for the posix backend: getrusage of the whole process.
#include "platform/testing/ProcessCpu.h"

#include <sys/resource.h>

namespace Platform {

uint64_t ProcessCpuMicroseconds() {
  rusage Usage{};
  if (getrusage(RUSAGE_SELF, &Usage) != 0) return 0;
  auto Us = [](const timeval& T) {
    return static_cast<uint64_t>(T.tv_sec) * 1000000u + static_cast<uint64_t>(T.tv_usec);
  };
  return Us(Usage.ru_utime) + Us(Usage.ru_stime);
}

}  // namespace Platform
