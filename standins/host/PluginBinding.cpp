// Loading a plug-in library and resolving its entry points.
#include "standins/host/PluginBinding.h"

#include <cstring>

namespace {
std::string Reason(uint32_t Code) {
  std::string Text = Platform::SystemErrorText(Code);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' ')) {
    Text.pop_back();
  }
  return Text + " (" + std::to_string(Code) + ")";
}

// Function pointers of one type from the address the loader gives.
template <typename TFunction>
TFunction As(void* Address) {
  TFunction Function;
  static_assert(sizeof(Function) == sizeof(Address));
  std::memcpy(&Function, &Address, sizeof(Function));
  return Function;
}
}  // namespace

TPluginBinding::TPluginBinding(const std::string& Path) {
  Library = Platform::LoadLibraryByName(Path);
  if (Library == nullptr) {
    throw EPluginLoad("cannot load the plug-in \"" + Path + "\": " + Reason(Platform::LastError()));
  }
  try {
    Init = As<HostContract::TInitPlugin>(Resolve("Init_Plugin"));
    GetName = As<HostContract::TGetNamePlugin>(Resolve("GetName_Plugin"));
    Command = As<HostContract::TCommandPlugin>(Resolve("Command_Plugin"));
    Finalize = As<HostContract::TFinalizePlugin>(Resolve("Finalize_Plugin"));
  } catch (...) {
    Platform::UnloadLibrary(Library);
    throw;
  }
}

TPluginBinding::~TPluginBinding() { Platform::UnloadLibrary(Library); }

void* TPluginBinding::Resolve(const char* Name) {
  void* Address = Platform::GetLibraryProc(Library, Name);
  if (Address == nullptr) {
    throw EPluginLoad(std::string("the plug-in has no entry point ") + Name + ": " +
                      Reason(Platform::LastError()));
  }
  return Address;
}
