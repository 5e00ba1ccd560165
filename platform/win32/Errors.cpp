// The last system error and its message text, for Win32.
#include <windows.h>

#include "platform/Errors.h"

namespace Platform {

uint32_t LastError() { return GetLastError(); }

void SetLastError(uint32_t Code) { ::SetLastError(Code); }

std::string SystemErrorText(uint32_t Code) {
  // Reading the text must not change the error the caller is reporting.
  const DWORD Saved = GetLastError();
  char Buffer[256] = {};
  const DWORD Length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, Code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), Buffer, sizeof Buffer, nullptr);
  ::SetLastError(Saved);
  if (Length == 0) return "Error " + std::to_string(Code);
  return std::string(Buffer, Length);
}

}  // namespace Platform
