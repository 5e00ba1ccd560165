// A tiny run-time library for the platform tests: one answer to prove it was
// loaded, the module file name the platform layer sees from inside it, and
// the calling thread's last error as read and set from inside it. Built
// twice, as PlatformTestLib and PlatformTestLibB.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Errors.h"
#include "platform/Libraries.h"

extern "C" {

VELMORA_EXPORT int PlatformTestAnswer(int Value) { return Value + 1; }

// Copies this library's own module path (Windows form, NUL-terminated) into
// Buffer; returns its length.
VELMORA_EXPORT unsigned PlatformTestModulePath(char* Buffer, unsigned Size) {
  const std::string Path = Platform::OwnModulePath();
  if (Size == 0) return 0;
  const size_t Length = Path.size() < Size - 1 ? Path.size() : Size - 1;
  std::memcpy(Buffer, Path.data(), Length);
  Buffer[Length] = '\0';
  return static_cast<unsigned>(Length);
}

VELMORA_EXPORT uint32_t PlatformTestLastError() { return Platform::LastError(); }

VELMORA_EXPORT void PlatformTestSetLastError(uint32_t Code) { Platform::SetLastError(Code); }

}  // extern "C"
