// Thread-local-storage slots and handles of this process, counted on Win32.
#include <windows.h>

#include <tlhelp32.h>

#include <vector>

#include "platform/testing/ThreadSlots.h"

namespace Platform {

int32_t CountFreeThreadSlots() {
  std::vector<DWORD> Taken;
  Taken.reserve(TLS_MINIMUM_AVAILABLE + 1024);
  for (DWORD Slot = TlsAlloc(); Slot != TLS_OUT_OF_INDEXES; Slot = TlsAlloc()) {
    Taken.push_back(Slot);
  }
  for (const DWORD Slot : Taken) TlsFree(Slot);
  return static_cast<int32_t>(Taken.size());
}

int32_t CountOpenHandles() {
  DWORD Count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &Count) && Count > 0) {
    return static_cast<int32_t>(Count);
  }
  // Wine answers 0. Its handles are small multiples of 4, handed out lowest
  // first, so a scan that stops after a long run of unused values sees them all.
  constexpr uintptr_t Step = 4;
  constexpr uintptr_t UnusedRunLimit = 4096;
  int32_t Open = 0;
  uintptr_t Unused = 0;
  for (uintptr_t Value = Step; Unused < UnusedRunLimit; Value += Step) {
    DWORD Flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(Value), &Flags)) {
      ++Open;
      Unused = 0;
    } else {
      ++Unused;
    }
  }
  return Open;
}

int32_t CountThreads() {
  const HANDLE Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (Snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 Entry{};
  Entry.dwSize = sizeof Entry;
  const DWORD Self = GetCurrentProcessId();
  int32_t Count = 0;
  for (BOOL Found = Thread32First(Snapshot, &Entry); Found; Found = Thread32Next(Snapshot, &Entry)) {
    if (Entry.th32OwnerProcessID == Self) ++Count;
  }
  CloseHandle(Snapshot);
  return Count;
}

}  // namespace Platform
