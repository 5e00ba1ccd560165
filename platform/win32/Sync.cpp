// Kernel objects for Win32: critical sections, unnamed semaphores and
// unnamed manual-reset events, and the wait on either of two events.
#include <windows.h>

#include <atomic>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Sync.h"

namespace Platform {

namespace {
TWaitResult AsWaitResult(DWORD Result) {
  switch (Result) {
    case WAIT_OBJECT_0: return TWaitResult::Signaled;
    case WAIT_TIMEOUT: return TWaitResult::Timeout;
    default: return TWaitResult::Failed;
  }
}
}  // namespace

// ------------------------------------------------------------ critical section
struct TCriticalSection::TImpl {
  CRITICAL_SECTION Section;
};

// A thread that finds the section held spins a while before it sleeps in
// the kernel: the sections here are held for a few hundred instructions, so
// the holder has nearly always left by then (the count is the one the
// system's heap uses; a single processor ignores it).
constexpr DWORD SpinCount = 4000;

TCriticalSection::TCriticalSection() : Impl(std::make_unique<TImpl>()) {
  InitializeCriticalSectionAndSpinCount(&Impl->Section, SpinCount);
}

TCriticalSection::~TCriticalSection() { DeleteCriticalSection(&Impl->Section); }

void TCriticalSection::Enter() {
#if VELMORA_SEAM_COUNTING
  // Test builds count the enters that find the section held elsewhere.
  if (TryEnterCriticalSection(&Impl->Section)) return;
  VELMORA_SEAM_COUNT(ContendedEnter);
#endif
  EnterCriticalSection(&Impl->Section);
}

void TCriticalSection::Leave() { LeaveCriticalSection(&Impl->Section); }

// ------------------------------------------------------------------- semaphore
struct TSemaphore::TImpl {
  HANDLE Handle = nullptr;
};

TSemaphore::TSemaphore(int32_t InitialCount, int32_t MaximumCount)
    : Impl(std::make_unique<TImpl>()) {
  if (!VELMORA_FAULT(SemaphoreCreate)) {
    Impl->Handle = CreateSemaphoreA(nullptr, InitialCount, MaximumCount, nullptr);
  }
  if (Impl->Handle == nullptr) {
    throw std::runtime_error("Cannot create a semaphore: " + TrimmedSystemText(GetLastError()));
  }
}

TSemaphore::~TSemaphore() { CloseHandle(Impl->Handle); }

TWaitResult TSemaphore::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(SemaphoreWait)) return TWaitResult::Failed;
  return VELMORA_SEAM_IDLE_WAIT(TimeoutMs, [this](uint32_t Milliseconds) {
    return AsWaitResult(WaitForSingleObject(Impl->Handle, Milliseconds));
  });
}

bool TSemaphore::Release(int32_t Count) {
  if (VELMORA_FAULT(SemaphoreRelease)) return false;
  return ReleaseSemaphore(Impl->Handle, Count, nullptr) != 0;
}

// ----------------------------------------------------------------------- event
// The event's state is mirrored in State, so that IsSet needs no kernel
// call. Set and Reset change the event and the mirror together under Guard
// (held for no more than the one call, so all but never contended), so the
// mirror is the event's state whenever no change is in progress; the handle
// is private, and a wait never changes a manual-reset event.
struct TEvent::TImpl {
  HANDLE Handle = nullptr;
  CRITICAL_SECTION Guard;
  std::atomic<bool> State{false};
};

TEvent::TEvent() : Impl(std::make_unique<TImpl>()) {
  if (!VELMORA_FAULT(EventCreate)) Impl->Handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (Impl->Handle == nullptr) {
    throw std::runtime_error("Cannot create an event: " + TrimmedSystemText(GetLastError()));
  }
  InitializeCriticalSection(&Impl->Guard);
}

TEvent::~TEvent() {
  DeleteCriticalSection(&Impl->Guard);
  CloseHandle(Impl->Handle);
}

void TEvent::Set() {
  VELMORA_SEAM_COUNT(EventSet);
  EnterCriticalSection(&Impl->Guard);
  SetEvent(Impl->Handle);
  Impl->State.store(true, std::memory_order_release);
  LeaveCriticalSection(&Impl->Guard);
}

void TEvent::Reset() {
  VELMORA_SEAM_COUNT(EventReset);
  EnterCriticalSection(&Impl->Guard);
  Impl->State.store(false, std::memory_order_release);
  ResetEvent(Impl->Handle);
  LeaveCriticalSection(&Impl->Guard);
}

bool TEvent::IsSet() const { return Impl->State.load(std::memory_order_acquire); }

TWaitResult TEvent::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWait)) return TWaitResult::Failed;
  return AsWaitResult(WaitForSingleObject(Impl->Handle, TimeoutMs));
}

TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWaitEither)) return TWhichEvent::Failed;
  TimeoutMs = VELMORA_SEAM_EITHER_TIMEOUT(TimeoutMs);
  const HANDLE Handles[2] = {First.Impl->Handle, Second.Impl->Handle};
  // With both signalled the lower index wins: First.
  switch (WaitForMultipleObjects(2, Handles, FALSE, TimeoutMs)) {
    case WAIT_OBJECT_0: return TWhichEvent::First;
    case WAIT_OBJECT_0 + 1: return TWhichEvent::Second;
    case WAIT_TIMEOUT: return TWhichEvent::Timeout;
    default: return TWhichEvent::Failed;
  }
}

}  // namespace Platform
