// Library loading and module file names for Win32: LoadLibraryA and friends,
// GetModuleFileNameA for this module and for the host executable.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/FaultPoint.h"
#include "platform/Libraries.h"

namespace Platform {

namespace {
// GetModuleFileNameA into a buffer of BufferChars characters, as the caller
// asked for it; empty when the call fails.
std::string ModuleFileName(HMODULE Module, uint32_t BufferChars) {
  if (BufferChars == 0) return std::string();
  if (VELMORA_FAULT(ModulePath)) return std::string();
  std::vector<char> Buffer(BufferChars + 1, '\0');
  const DWORD Length = GetModuleFileNameA(Module, Buffer.data(), BufferChars);
  if (Length == 0) return std::string();
  // A name that does not fit is cut to BufferChars - 1 characters and its
  // NUL, as current systems do (older ones and Wine fill the whole buffer
  // and leave the NUL out): the same result on every system.
  const size_t Kept = Length >= BufferChars ? BufferChars - 1 : Length;
  return std::string(Buffer.data(), strnlen(Buffer.data(), Kept));
}
}  // namespace

TLibrary LoadLibraryByName(const std::string& Name) {
  if (VELMORA_FAULT(LibraryLoad)) return nullptr;
  return reinterpret_cast<TLibrary>(LoadLibraryA(Name.c_str()));
}

TLibraryProc GetLibraryProc(TLibrary Library, const char* Name) {
  if (Library == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (VELMORA_FAULT(LibraryEntry)) return nullptr;
  // FARPROC to the generic function pointer: a function-to-function
  // conversion, undone by LibraryEntryPoint with the entry's own type.
  return reinterpret_cast<TLibraryProc>(GetProcAddress(static_cast<HMODULE>(Library), Name));
}

void UnloadLibrary(TLibrary Library) {
  if (Library != nullptr) FreeLibrary(static_cast<HMODULE>(Library));
}

std::string OwnModulePath(uint32_t BufferChars) {
  // The module that holds this function is the one this backend was linked
  // into: the plug-in library inside a host, the program in a test. The
  // reference count is left alone: the module cannot go while it runs.
  HMODULE Own = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&OwnModulePath), &Own)) {
    return std::string();
  }
  return ModuleFileName(Own, BufferChars);
}

std::string HostExePath(uint32_t BufferChars) { return ModuleFileName(nullptr, BufferChars); }
}  // namespace Platform
