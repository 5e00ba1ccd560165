// A tiny run-time library for the platform tests: one answer to prove it was
// loaded, and the module file name the platform layer sees from inside it.
#include <cstring>
#include <string>

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

}  // extern "C"
