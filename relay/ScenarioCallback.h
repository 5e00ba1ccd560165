// The host's callback, as the relay calls it: the relay's side of the host
// contract, which the plug-in's entry points hand in (plugin/PluginApi.h).
#pragma once

#include <cstdint>

// The host's callback: called on the plug-in's worker thread once per server
// response. Data is valid only until the call returns; the result is unused.
using TScenarioCallback = void(VELMORA_STDCALL*)(int32_t SessionACT, const char* PluginName,
                                                 const void* Data, int32_t Length,
                                                 uintptr_t UserValue);
