// The one plug-in loader of the tests, the benchmarks and the fuzz targets
// (no GoogleTest): a private copy of the built plug-in library, so that its
// settings file and hourly log files belong to one user alone, and that copy
// loaded with its four entry points.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Libraries.h"
#include "plugin/PluginApi.h"

namespace TestSupport {

// The built plug-in (Velmora.dll on Windows, Velmora.so natively) in the
// first of Folders (Windows form, each ending in "\") that holds it. Throws
// std::runtime_error when none does.
std::string BuiltPluginPath(std::initializer_list<std::string> Folders);

// A copy of the plug-in library at Path, removed again with its files.
class TPluginCopy {
public:
  // Copies Source to Path (Windows form; a file an interrupted run left there
  // is replaced) and, when SettingsText is not empty, writes it as the copy's
  // settings file. Throws std::runtime_error when the copy cannot be made.
  TPluginCopy(const std::string& Source, const std::string& Path,
              const std::string& SettingsText = "");
  // Removes the copy, its settings file and its log files in the Logs folder
  // beside the host executable. The copy must no longer be loaded.
  ~TPluginCopy();
  TPluginCopy(const TPluginCopy&) = delete;
  TPluginCopy& operator=(const TPluginCopy&) = delete;

  const std::string& Path() const { return CopyPath; }
  std::string FileName() const;      // the copy's file name
  std::string SettingsPath() const;  // beside the copy, extension ".ini"

private:
  std::string CopyPath;
};

// The plug-in library loaded from Path and its four entry points, called as
// a host calls them.
class TPluginLibrary {
public:
  // Throws std::runtime_error when the library cannot be loaded or lacks an
  // entry point.
  explicit TPluginLibrary(const std::string& Path);
  // Calls Finalize_Plugin when Init_Plugin was the last of the two called, as
  // a host must before unloading; then unloads.
  ~TPluginLibrary();
  TPluginLibrary(const TPluginLibrary&) = delete;
  TPluginLibrary& operator=(const TPluginLibrary&) = delete;

  // Init_Plugin with Callback (may be null); the plug-in's name.
  const char* Init(TScenarioCallback Callback, uintptr_t UserValue);
  const char* GetName() const;
  // Inline: the benchmarks time this call.
  int32_t Command(int32_t SessionACT, const void* Data, uint32_t Length) const {
    return CommandEntry(SessionACT, Data, Length);
  }
  void Finalize();
  // Frees the library now (runs its unload-time hook) without finalizing;
  // the entry points must not be called afterwards.
  void Unload();

private:
  Platform::TLibrary Library = nullptr;
  bool Initialized = false;
  // Typed as the plug-in declares its exports.
  decltype(&Init_Plugin) InitEntry = nullptr;
  decltype(&GetName_Plugin) NameEntry = nullptr;
  decltype(&Command_Plugin) CommandEntry = nullptr;
  decltype(&Finalize_Plugin) FinalizeEntry = nullptr;
};

}  // namespace TestSupport
