// A host's view of a plug-in library: its four entry points, resolved by
// their undecorated names, and the callback type it is given. Declared here
// and not taken from the plug-in's own headers: a host is a program of its
// own that knows the plug-in only by this contract. The check tool (shipped)
// and the stand-in host runner both load the plug-in through it, rather than
// through the tests' loader (tests/support/PluginLibrary.h): it loads the
// file it is given in place, reports the system's reason for a failed load,
// and builds with the test support switched off.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/Libraries.h"

namespace HostContract {
using TScenarioCallback = void(VELMORA_STDCALL*)(int32_t SessionACT, const char* PluginName,
                                                 const void* Data, int32_t Length,
                                                 uintptr_t UserValue);
using TInitPlugin = void(VELMORA_STDCALL*)(const char** PluginName, TScenarioCallback Callback,
                                           uintptr_t UserValue);
using TGetNamePlugin = void(VELMORA_STDCALL*)(const char** PluginName);
using TCommandPlugin = int32_t(VELMORA_STDCALL*)(int32_t SessionACT, const void* Data,
                                                 uint32_t Length);
using TFinalizePlugin = void(VELMORA_STDCALL*)();
}  // namespace HostContract

// A plug-in library that could not be loaded or lacks an entry point.
class EPluginLoad : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Loads the library on construction and frees it on destruction; the entry
// points are valid in between. Throws EPluginLoad with the system's reason.
class TPluginBinding {
public:
  explicit TPluginBinding(const std::string& Path);  // Path in Windows form
  ~TPluginBinding();
  TPluginBinding(const TPluginBinding&) = delete;
  TPluginBinding& operator=(const TPluginBinding&) = delete;

  HostContract::TInitPlugin Init = nullptr;
  HostContract::TGetNamePlugin GetName = nullptr;
  HostContract::TCommandPlugin Command = nullptr;
  HostContract::TFinalizePlugin Finalize = nullptr;

private:
  Platform::TLibrary Library = nullptr;

  // The entry point Name as TEntry; throws EPluginLoad when the plug-in lacks it.
  template <typename TEntry>
  TEntry Take(const char* Name) const;
};
