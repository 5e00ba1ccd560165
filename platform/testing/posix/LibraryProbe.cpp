// IsLibraryLoaded for posix: dlopen with RTLD_NOLOAD on the file that
// LoadLibraryByName would open (".dll" read as ".so", the executable's folder
// first), which finds a mapped library and never maps one.
#include <dlfcn.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/TimeText.h"
#include "platform/testing/LibraryProbe.h"

namespace Platform {

namespace {
bool IsOpen(const std::string& NativeName) {
  void* Handle = dlopen(NativeName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (Handle == nullptr) return false;
  dlclose(Handle);
  return true;
}
}  // namespace

bool IsLibraryLoaded(const std::string& Name) {
  std::string Native = ToNativePath(Name);
  if (Native.size() >= 4 && SameTextNoCase(Native.substr(Native.size() - 4), ".dll")) {
    Native.replace(Native.size() - 4, 4, ".so");
  }
  const std::string Beside = ToNativePath(DirectoryPart(HostExePath())) + Native;
  if (access(Beside.c_str(), F_OK) == 0) return IsOpen(Beside);
  return IsOpen(Native);
}

}  // namespace Platform
