// Heap in use for the win32 backend: a walk over every heap of the process
// (the C runtime's malloc draws from one of them), summing the busy blocks.
#include "platform/testing/HeapUsage.h"

#include <windows.h>

#include <vector>

namespace Platform {

size_t HeapBytesInUse() {
  std::vector<HANDLE> Heaps(64);
  DWORD Count = GetProcessHeaps(static_cast<DWORD>(Heaps.size()), Heaps.data());
  if (Count > Heaps.size()) {
    Heaps.resize(Count + 16);
    Count = GetProcessHeaps(static_cast<DWORD>(Heaps.size()), Heaps.data());
    if (Count > Heaps.size()) return 0;
  }
  size_t Total = 0;
  for (DWORD I = 0; I < Count; ++I) {
    if (!HeapLock(Heaps[I])) continue;
    PROCESS_HEAP_ENTRY Entry{};
    Entry.lpData = nullptr;
    while (HeapWalk(Heaps[I], &Entry)) {
      if ((Entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) Total += Entry.cbData;
    }
    HeapUnlock(Heaps[I]);
  }
  return Total;
}

}  // namespace Platform
