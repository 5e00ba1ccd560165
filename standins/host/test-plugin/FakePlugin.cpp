// A tiny plug-in for the host runner's tests: it answers every command with
// the same parameter list from a worker thread of its own, and misbehaves on
// request when the command holds one of these non-empty parameters:
//   FakeDrop      no answer
//   FakeTwice     the answer twice
//   FakeHold      the answer is held back and sent after the next one
//                 (or at Finalize_Plugin)
//   FakeBadName   the callback names the plug-in "Impostor"
//   FakeBadValue  the callback carries the user value plus one
// Built without Command_Plugin when FAKE_PLUGIN_WITHOUT_COMMAND is defined.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace {

using TScenarioCallback = void(VELMORA_STDCALL*)(int32_t SessionACT, const char* PluginName,
                                                 const void* Data, int32_t Length,
                                                 uintptr_t UserValue);

const char* const PluginText = "Velmora";

struct TCommand {
  int32_t Session = 0;
  std::string Data;
  bool Stop = false;
};

// Everything the fake holds between Init_Plugin and Finalize_Plugin. Queue is
// guarded by Lock; Held belongs to the worker thread.
struct TFake {
  TScenarioCallback Callback = nullptr;
  uintptr_t UserValue = 0;
  Platform::TCriticalSection Lock;
  Platform::TSemaphore Ready{0, 0x7FFFFFFF};
  std::deque<TCommand> Queue;
  std::optional<TCommand> Held;
  Platform::TThread Worker;
};

TFake* Fake = nullptr;  // set and cleared by the host's main thread only

void Answer(const TCommand& Command) {
  if (Fake->Callback == nullptr) return;
  TParamList List;
  UnpackParams(List, Command.Data.data(), static_cast<int32_t>(Command.Data.size()));
  const char* Name = List.GetParam("FakeBadName").empty() ? PluginText : "Impostor";
  const uintptr_t Value = Fake->UserValue + (List.GetParam("FakeBadValue").empty() ? 0 : 1);
  Fake->Callback(Command.Session, Name, Command.Data.data(),
                 static_cast<int32_t>(Command.Data.size()), Value);
}

void Work(void*) {
  for (;;) {
    Fake->Ready.Wait(Platform::Infinite);
    TCommand Command;
    {
      Platform::TLockGuard Guard(Fake->Lock);
      Command = std::move(Fake->Queue.front());
      Fake->Queue.pop_front();
    }
    if (Command.Stop) break;
    TParamList List;
    UnpackParams(List, Command.Data.data(), static_cast<int32_t>(Command.Data.size()));
    if (!List.GetParam("FakeDrop").empty()) continue;
    if (!List.GetParam("FakeHold").empty()) {
      Fake->Held = std::move(Command);
      continue;
    }
    Answer(Command);
    if (!List.GetParam("FakeTwice").empty()) Answer(Command);
    if (Fake->Held) {
      Answer(*Fake->Held);
      Fake->Held.reset();
    }
  }
  if (Fake->Held) Answer(*Fake->Held);
}

void Queue(TCommand Command) {
  {
    Platform::TLockGuard Guard(Fake->Lock);
    Fake->Queue.push_back(std::move(Command));
  }
  Fake->Ready.Release();
}

}  // namespace

extern "C" {

VELMORA_EXPORT void VELMORA_STDCALL GetName_Plugin(const char** PluginName) {
  *PluginName = PluginText;
}

VELMORA_EXPORT void VELMORA_STDCALL Init_Plugin(const char** PluginName,
                                                TScenarioCallback Callback, uintptr_t UserValue) {
  *PluginName = PluginText;
  Fake = new TFake;
  Fake->Callback = Callback;
  Fake->UserValue = UserValue;
  if (!Fake->Worker.Create(&Work, nullptr) || !Fake->Worker.Start()) {
    delete Fake;
    Fake = nullptr;
  }
}

#ifndef FAKE_PLUGIN_WITHOUT_COMMAND
VELMORA_EXPORT int32_t VELMORA_STDCALL Command_Plugin(int32_t SessionACT, const void* Data,
                                                      uint32_t Length) {
  if (Length == 0 || Fake == nullptr) return 0;
  Queue(TCommand{SessionACT, std::string(static_cast<const char*>(Data), Length), false});
  return 0;
}
#endif

VELMORA_EXPORT void VELMORA_STDCALL Finalize_Plugin() {
  if (Fake == nullptr) return;
  Queue(TCommand{0, std::string(), true});
  Fake->Worker.WaitForEnd();
  delete Fake;
  Fake = nullptr;
}

}  // extern "C"
