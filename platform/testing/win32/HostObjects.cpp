// The test host's own events, semaphores and thread-local-storage slots on
// Win32, each checked by a state only it has.
#include <windows.h>

#include "platform/testing/HostObjects.h"

namespace Platform {

namespace {

enum { KindEvent, KindSemaphore, KindSlot, Kinds };

HANDLE AsHandle(uintptr_t Value) { return reinterpret_cast<HANDLE>(Value); }

// An event is set or not by its place; a semaphore holds a count of its own
// below a maximum of its own; a slot holds a value of its own on this thread.
bool StillOwn(uintptr_t Value, uint64_t Identity, int Kind) {
  switch (Kind) {
    case KindEvent:
      return WaitForSingleObject(AsHandle(Value), 0) == (Identity ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    case KindSemaphore: {
      LONG Previous = -1;
      if (!ReleaseSemaphore(AsHandle(Value), 1, &Previous)) return false;
      const bool Same = static_cast<uint64_t>(Previous) == Identity;
      return WaitForSingleObject(AsHandle(Value), 0) == WAIT_OBJECT_0 && Same;
    }
    default:
      return reinterpret_cast<uintptr_t>(TlsGetValue(static_cast<DWORD>(Value))) == Identity;
  }
}

}  // namespace

void THostObjects::Release(const TObject& Object) {
  if (Object.Kind == KindSlot) {
    TlsFree(static_cast<DWORD>(Object.Value));
  } else {
    CloseHandle(AsHandle(Object.Value));
  }
}

bool THostObjects::Open(int Count) {
  for (int I = 0; I < Count; ++I) {
    const size_t Index = Objects.size();
    const int Kind = static_cast<int>(Index % Kinds);
    TObject Object{0, 0, Kind};
    if (Kind == KindEvent) {
      Object.Identity = (Index / Kinds) % 2;
      Object.Value = reinterpret_cast<uintptr_t>(
          CreateEventA(nullptr, TRUE, Object.Identity != 0, nullptr));
    } else if (Kind == KindSemaphore) {
      Object.Identity = 1 + Index % 5;
      Object.Value = reinterpret_cast<uintptr_t>(CreateSemaphoreA(
          nullptr, static_cast<LONG>(Object.Identity), static_cast<LONG>(1000 + Index), nullptr));
    } else {
      const DWORD Slot = TlsAlloc();
      if (Slot == TLS_OUT_OF_INDEXES) return false;
      Object.Value = Slot;
      Object.Identity = 0x5100 + Index;
      TlsSetValue(Slot, reinterpret_cast<void*>(static_cast<uintptr_t>(Object.Identity)));
    }
    if (Kind != KindSlot && Object.Value == 0) return false;
    Objects.push_back(Object);
  }
  return true;
}

int THostObjects::Broken() const {
  int Count = 0;
  for (const TObject& Object : Objects) {
    Count += StillOwn(Object.Value, Object.Identity, Object.Kind) ? 0 : 1;
  }
  return Count;
}

}  // namespace Platform
