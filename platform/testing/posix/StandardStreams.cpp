// Standard output and error through write(2), without stdio buffering.
#include "platform/testing/StandardStreams.h"

#include <cerrno>
#include <unistd.h>

namespace Platform {

namespace {
bool WriteAll(int Descriptor, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t Written = ::write(Descriptor, Data, Size);
    if (Written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Data += Written;
    Size -= static_cast<size_t>(Written);
  }
  return true;
}
}  // namespace

bool WriteStandardOutput(const char* Data, size_t Size) { return WriteAll(1, Data, Size); }
bool WriteStandardError(const char* Data, size_t Size) { return WriteAll(2, Data, Size); }

}  // namespace Platform
