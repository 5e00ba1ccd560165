// Loading a plug-in library and resolving its entry points.
#include "check/PluginBinding.h"

#include "platform/Errors.h"

namespace {
std::string Reason(uint32_t Code) {
  return Platform::TrimmedSystemText(Code) + " (" + std::to_string(Code) + ")";
}
}  // namespace

template <typename TEntry>
TEntry TPluginBinding::Take(const char* Name) const {
  const TEntry Entry = Platform::LibraryEntryPoint<TEntry>(Library, Name);
  if (Entry == nullptr) {
    throw EPluginLoad(std::string("the plug-in has no entry point ") + Name + ": " +
                      Reason(Platform::LastError()));
  }
  return Entry;
}

TPluginBinding::TPluginBinding(const std::string& Path) {
  Library = Platform::LoadLibraryByName(Path);
  if (Library == nullptr) {
    throw EPluginLoad("cannot load the plug-in \"" + Path + "\": " + Reason(Platform::LastError()));
  }
  try {
    Init = Take<HostContract::TInitPlugin>("Init_Plugin");
    GetName = Take<HostContract::TGetNamePlugin>("GetName_Plugin");
    Command = Take<HostContract::TCommandPlugin>("Command_Plugin");
    Finalize = Take<HostContract::TFinalizePlugin>("Finalize_Plugin");
  } catch (...) {
    Platform::UnloadLibrary(Library);
    throw;
  }
}

TPluginBinding::~TPluginBinding() { Platform::UnloadLibrary(Library); }
