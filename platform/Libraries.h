// Libraries loaded at run time, the typed lookup of their entry points, and
// module file names (win32/Libraries.cpp, posix/Libraries.cpp; the search
// with fallback in Common.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace Platform {

// A loaded module; null means none. On posix a trailing ".dll" of a name is
// looked up as ".so", and a bare name is searched first in the host
// executable's directory, as Windows does.
using TLibrary = void*;

TLibrary LoadLibraryByName(const std::string& Name);  // LoadLibraryA
void UnloadLibrary(TLibrary Library);                 // FreeLibrary

// LoadLibraryByName, then, when it failed and Name has no directory part, the
// host executable's directory + Name.
TLibrary LoadLibraryFallback(const std::string& Name);

// A function of a loaded library as the system's lookup gives it, of no
// particular type: the one type every function pointer converts to and back
// without loss. LibraryEntryPoint gives it the entry's own type.
using TLibraryProc = void (*)();

// The function Name exported by Library (GetProcAddress); null when Library
// is null (LastError 6, the handle is invalid) or exports no Name (LastError
// ErrorProcNotFound).
TLibraryProc GetLibraryProc(TLibrary Library, const char* Name);

// The entry point Name of Library as TEntry, a pointer to a function of the
// type (calling convention included) the library defines it with; null when
// Library is null or lacks it, LastError as GetLibraryProc leaves it. Every
// lookup outside the platform layer goes through here, so the address is
// given its type in this one place.
template <typename TEntry>
TEntry LibraryEntryPoint(TLibrary Library, const char* Name) {
  static_assert(std::is_pointer_v<TEntry> && std::is_function_v<std::remove_pointer_t<TEntry>>,
                "an entry point is a pointer to a function");
  return reinterpret_cast<TEntry>(GetLibraryProc(Library, Name));
}

// Full path of the module that holds this code (the plug-in library when
// linked into it), read into a buffer of BufferChars characters; empty when
// it cannot be obtained.
std::string OwnModulePath(uint32_t BufferChars = 1024);
// Full path of the host process's executable (GetModuleFileNameA(NULL)).
std::string HostExePath(uint32_t BufferChars = 261);

}  // namespace Platform
