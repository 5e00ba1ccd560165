// Library loading and module file names for the posix backend: LoadLibraryA,
// GetProcAddress, FreeLibrary and GetModuleFileNameA emulated with dlopen,
// dladdr and /proc/self/exe.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/TimeText.h"
#include "platform/posix/shared/SystemSearch.h"

namespace Platform {

namespace {

bool EndsWithNoCase(const std::string& Text, const std::string& Tail) {
  if (Text.size() < Tail.size()) return false;
  return SameTextNoCase(Text.data() + Text.size() - Tail.size(), Tail.size(), Tail.data(),
                        Tail.size());
}

// The native file name for a library name as Windows would complete it: a
// trailing ".dll" becomes ".so", a name without extension gets ".so" and a
// name ending in a dot loses the dot (Windows' "no extension" marker).
std::string NativeLibraryName(const std::string& Name) {
  std::string Native = ToNativePath(Name);
  const size_t Slash = Native.find_last_of('/');
  const std::string File = Slash == std::string::npos ? Native : Native.substr(Slash + 1);
  if (EndsWithNoCase(Native, ".dll")) {
    Native.replace(Native.size() - 4, 4, ".so");
  } else if (!File.empty() && File.back() == '.') {
    Native.pop_back();
  } else if (!File.empty() && File.find('.') == std::string::npos) {
    Native += ".so";
  }
  return Native;
}

// The Windows form of a native path truncated as GetModuleFileNameA truncates
// into a buffer of BufferChars characters (one kept for the terminator).
std::string AsModuleFileName(const std::string& NativePath, uint32_t BufferChars) {
  std::string Path = FromNativePath(NativePath);
  if (BufferChars == 0) return std::string();
  if (Path.size() > BufferChars - 1) {
    Path.resize(BufferChars - 1);
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
  }
  return Path;
}

std::string NativeExePath() {
  char Buffer[4096];
  const ssize_t Length = readlink("/proc/self/exe", Buffer, sizeof Buffer);
  if (Length <= 0 || static_cast<size_t>(Length) >= sizeof Buffer) return std::string();
  return std::string(Buffer, static_cast<size_t>(Length));
}

TLibrary Open(const std::string& NativeName) {
  return OpenBySystemSearch(NativeName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

TLibrary LoadLibraryByName(const std::string& Name) {
  if (VELMORA_FAULT(LibraryLoad)) return nullptr;
  const std::string Native = NativeLibraryName(Name);
  if (Name.empty() || Native.empty()) {
    SetLastError(ErrorModNotFound);
    return nullptr;
  }
  TLibrary Library = nullptr;
  if (Native.find('/') == std::string::npos) {
    // Windows searches the executable's directory before the system's paths.
    const std::string Exe = NativeExePath();
    const std::string Beside = Exe.substr(0, Exe.find_last_of('/') + 1) + Native;
    if (!Exe.empty() && access(Beside.c_str(), F_OK) == 0) {
      Library = Open(Beside);
      if (Library == nullptr) {
        SetLastError(193);  // ERROR_BAD_EXE_FORMAT: present but not loadable
        return nullptr;
      }
      return Library;
    }
  }
  Library = Open(Native);
  if (Library == nullptr) SetLastError(ErrorModNotFound);
  return Library;
}

TLibraryProc GetLibraryProc(TLibrary Library, const char* Name) {
  if (Library == nullptr || Name == nullptr) {
    SetLastError(Library == nullptr ? 6 : ErrorProcNotFound);  // ERROR_INVALID_HANDLE
    return nullptr;
  }
  if (VELMORA_FAULT(LibraryEntry)) return nullptr;
  void* Proc = dlsym(Library, Name);
  if (Proc == nullptr) SetLastError(ErrorProcNotFound);
  // POSIX guarantees that dlsym's address of a function converts to a
  // function pointer (the one object-to-function conversion of the project).
  return reinterpret_cast<TLibraryProc>(Proc);
}

void UnloadLibrary(TLibrary Library) {
  if (Library != nullptr) dlclose(Library);
}

std::string OwnModulePath(uint32_t BufferChars) {
  if (VELMORA_FAULT(ModulePath)) return std::string();
  // The module that holds this function is the one this backend was linked
  // into: the plug-in library inside a host, the program in a test.
  Dl_info Info{};
  link_map* Map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&OwnModulePath), &Info, reinterpret_cast<void**>(&Map),
              RTLD_DL_LINKMAP) == 0) {
    return std::string();
  }
  std::string Path;
  if (Map != nullptr && Map->l_name != nullptr && Map->l_name[0] != '\0') {
    Path = Map->l_name;
  } else {
    Path = NativeExePath();  // the main program has no name of its own in the link map
  }
  if (!Path.empty() && Path[0] != '/') {
    char* Absolute = realpath(Path.c_str(), nullptr);
    if (Absolute != nullptr) {
      Path = Absolute;
      free(Absolute);
    }
  }
  return AsModuleFileName(Path, BufferChars);
}

std::string HostExePath(uint32_t BufferChars) {
  if (VELMORA_FAULT(ModulePath)) return std::string();
  return AsModuleFileName(NativeExePath(), BufferChars);
}

}  // namespace Platform
