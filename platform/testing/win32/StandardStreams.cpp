// Standard output and error through WriteFile on the standard handles: no C
// runtime buffering and no LF to CR LF translation.
#include "platform/testing/StandardStreams.h"

#include <windows.h>

namespace Platform {

namespace {
bool WriteAll(DWORD Which, const char* Data, size_t Size) {
  const HANDLE Handle = GetStdHandle(Which);
  if (Handle == nullptr || Handle == INVALID_HANDLE_VALUE) return false;
  while (Size > 0) {
    DWORD Written = 0;
    const DWORD Chunk = Size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(Size);
    if (!WriteFile(Handle, Data, Chunk, &Written, nullptr) || Written == 0) return false;
    Data += Written;
    Size -= Written;
  }
  return true;
}
}  // namespace

bool WriteStandardOutput(const char* Data, size_t Size) {
  return WriteAll(STD_OUTPUT_HANDLE, Data, Size);
}
bool WriteStandardError(const char* Data, size_t Size) {
  return WriteAll(STD_ERROR_HANDLE, Data, Size);
}

}  // namespace Platform
