// IsLibraryLoaded for Win32: the module handle of a loaded module by name.
#include <windows.h>

#include "platform/testing/LibraryProbe.h"

namespace Platform {

bool IsLibraryLoaded(const std::string& Name) { return GetModuleHandleA(Name.c_str()) != nullptr; }

}  // namespace Platform
