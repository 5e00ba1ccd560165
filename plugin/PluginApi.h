// The plug-in's boundary with its host: the four exported entry points and
// the host callback through which every server response comes back.
#pragma once

#include <cstdint>

#include "relay/ScenarioCallback.h"  // TScenarioCallback: the host's callback

extern "C" {
VELMORA_EXPORT void VELMORA_STDCALL Init_Plugin(const char** PluginName, TScenarioCallback Callback,
                                                uintptr_t UserValue);
VELMORA_EXPORT void VELMORA_STDCALL GetName_Plugin(const char** PluginName);
VELMORA_EXPORT int32_t VELMORA_STDCALL Command_Plugin(int32_t SessionACT, const void* Data,
                                                      uint32_t Length);
VELMORA_EXPORT void VELMORA_STDCALL Finalize_Plugin();
}
