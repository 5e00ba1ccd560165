// The four exported entry points and the one process-wide manager reference.
// No failure of the plug-in reaches the host: every path returns normally.
#include <exception>
#include <string>

#include "log/ProcessLog.h"
#include "plugin/PluginApi.h"
#include "relay/MailerManager.h"

namespace {

// Set by Init_Plugin, emptied by Finalize_Plugin; the host never overlaps
// those two with each other or with Command_Plugin, so no lock guards it.
TMailerManager* Manager = nullptr;

// Stops and frees the manager; logs and swallows its own failures. A manager
// whose worker could not be stopped is kept in memory, never freed under it.
void ReleaseManager() noexcept {
  TMailerManager* Released = Manager;
  Manager = nullptr;
  TMailerManager::Release(Released);
}

void HandOutName(const char** PluginName) noexcept {
  if (PluginName != nullptr) *PluginName = PluginNameText;
}

}  // namespace

extern "C" {

VELMORA_EXPORT void VELMORA_STDCALL Init_Plugin(const char** PluginName,
                                                TScenarioCallback Callback,
                                                uintptr_t UserValue) {
  HandOutName(PluginName);
  Log("Init_Plugin: Velmora");
  // A second Init_Plugin replaces the running manager: the earlier one is
  // released as Finalize_Plugin would, so there is never a second worker.
  ReleaseManager();
  RunLoggingFailure("Init_Plugin EXCEPTION: ",
                    [&] { Manager = new TMailerManager(Callback, UserValue); });
}

VELMORA_EXPORT void VELMORA_STDCALL GetName_Plugin(const char** PluginName) {
  HandOutName(PluginName);
  Log("GetName_Plugin");
}

VELMORA_EXPORT int32_t VELMORA_STDCALL Command_Plugin(int32_t SessionACT, const void* Data,
                                                      uint32_t Length) {
  if (Length == 0) return 0;
  if (Manager == nullptr) {
    Log("PLUGIN PANIC: Plugin is not initialized!");
    return 0;
  }
  return Manager->QueueCommand(SessionACT, Data, static_cast<int32_t>(Length));
}

VELMORA_EXPORT void VELMORA_STDCALL Finalize_Plugin() {
  ReleaseManager();
  Log("Finalize_Plugin");
}

}  // extern "C"
