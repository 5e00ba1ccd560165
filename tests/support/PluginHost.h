// A host for tests: loads a private copy of the plug-in library (its own file
// name, so its settings file and hourly log file belong to this test alone)
// through the shared loader (PluginLibrary.h), drives the four entry points
// and records every callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/PluginLibrary.h"

namespace TestSupport {

struct TCallbackCall {
  int32_t SessionACT = 0;
  std::string PluginName;  // the text behind the pointer
  const char* PluginNamePointer = nullptr;
  std::string Data;        // the bytes, copied during the call
  int32_t Length = 0;
  uintptr_t UserValue = 0;
  uint32_t ThreadId = 0;
};

// The host's settings file (beside the test program, named after it) with
// one log-server setting for a plug-in file name, for the life of the object;
// nothing when the setting is empty. The file is the program's alone: one
// object at a time.
class THostLogSetting {
public:
  THostLogSetting(const std::string& PluginFileName, const std::string& LogServerSetting);
  ~THostLogSetting();
  THostLogSetting(const THostLogSetting&) = delete;
  THostLogSetting& operator=(const THostLogSetting&) = delete;

private:
  std::string Path;  // empty when nothing was written
};

class TPluginHost {
public:
  // Copies the built plug-in beside a fresh name in <bin>\plugin-copies\ and
  // loads it. SettingsText, when not empty, is written as its settings file
  // before the load; LogServerSetting, when not empty, as the copy's
  // log-server setting in the host's settings file (THostLogSetting).
  // SourceFolder (Windows form, ending in a backslash), when not empty, is
  // where the build to copy lies instead of the program's folder (the seam
  // build's folder, for one).
  explicit TPluginHost(const std::string& SettingsText = "",
                       const std::string& LogServerSetting = "",
                       const std::string& SourceFolder = "");
  // Calls Finalize_Plugin when Init_Plugin was the last of the two called, as
  // a host must before unloading; then unloads and removes the copy and its files.
  ~TPluginHost();
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;

  const std::string& LibraryPath() const { return Copy.Path(); }
  std::string SettingsPath() const { return Copy.SettingsPath(); }  // beside the copy, ".ini"
  std::string FileName() const { return Copy.FileName(); }          // the copy's file name

  // The entry points; Init uses the recording callback unless NullCallback.
  const char* Init(uintptr_t UserValue, bool NullCallback = false);
  const char* GetName();
  int32_t Command(int32_t SessionACT, const std::string& Packed);
  int32_t CommandRaw(int32_t SessionACT, const void* Data, uint32_t Length);
  void Finalize();
  void Unload();  // frees the library now (runs its unload-time hook)

  // Callbacks recorded so far (any host's: one recorder per process).
  static std::vector<TCallbackCall> Calls();
  // Waits until at least Count callbacks were recorded; false on time-out.
  static bool WaitForCalls(size_t Count, uint32_t TimeoutMs = 5000);
  static void ClearCalls();
  // An action run inside the recording callback, on the plug-in's worker.
  using TInsideCallback = void (*)(const TCallbackCall& Call, void* Context);
  static void SetInsideCallback(TInsideCallback Action, void* Context);

  // The texts of the plug-in's log lines so far (time stamps removed), from
  // every hourly file of this copy.
  std::vector<std::string> LogLines() const;
  // The raw bytes of those files, concatenated in file order.
  std::string LogBytes() const;
  // Waits until a log line equal to Text (or starting with it, when Prefix)
  // has been written; false on time-out.
  bool WaitForLogLine(const std::string& Text, bool Prefix = false,
                      uint32_t TimeoutMs = 5000) const;

private:
  TPluginCopy Copy;       // goes last: the library is unloaded before its files are removed
  THostLogSetting LogSetting;
  TPluginLibrary Plugin;
};

// Packs items into the packed parameter list form (each item and a NUL).
std::string Packed(const std::vector<std::string>& Items);

}  // namespace TestSupport
