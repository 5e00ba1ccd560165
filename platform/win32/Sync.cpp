// Kernel objects for Win32: critical sections, unnamed semaphores and
// unnamed manual-reset events, and the wait on either of two events.
#include <windows.h>

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

TCriticalSection::TCriticalSection() : Impl(std::make_unique<TImpl>()) {
  InitializeCriticalSection(&Impl->Section);
}

TCriticalSection::~TCriticalSection() { DeleteCriticalSection(&Impl->Section); }

void TCriticalSection::Enter() { EnterCriticalSection(&Impl->Section); }

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
struct TEvent::TImpl {
  HANDLE Handle = nullptr;
};

TEvent::TEvent() : Impl(std::make_unique<TImpl>()) {
  if (!VELMORA_FAULT(EventCreate)) Impl->Handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (Impl->Handle == nullptr) {
    throw std::runtime_error("Cannot create an event: " + TrimmedSystemText(GetLastError()));
  }
}

TEvent::~TEvent() { CloseHandle(Impl->Handle); }

void TEvent::Set() { SetEvent(Impl->Handle); }

void TEvent::Reset() { ResetEvent(Impl->Handle); }

bool TEvent::IsSet() const { return WaitForSingleObject(Impl->Handle, 0) == WAIT_OBJECT_0; }

TWaitResult TEvent::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWait)) return TWaitResult::Failed;
  return AsWaitResult(WaitForSingleObject(Impl->Handle, TimeoutMs));
}

TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWaitEither)) return TWhichEvent::Failed;
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
