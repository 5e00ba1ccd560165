// RunningUnderWine for Win32: Wine's ntdll has an export that Windows' lacks.
#include <windows.h>

#include "platform/testing/WineProbe.h"

namespace Platform {

bool RunningUnderWine() {
  const HMODULE Ntdll = GetModuleHandleA("ntdll.dll");
  return Ntdll != nullptr && GetProcAddress(Ntdll, "wine_get_version") != nullptr;
}

}  // namespace Platform
