// Threads, thread ids, sleeping, the clocks and the processor count for Win32. A thread is
// created suspended and runs its body once its owner starts it; one that is
// never started is let go without running its body when its owner goes.
#include <windows.h>

#include <atomic>

#include "platform/FaultPoint.h"
#include "platform/Thread.h"

namespace Platform {

namespace {
// The thread that loaded this module: static initialisation of a library runs
// on the thread that loads it, of a program on its main thread. Waits for a
// thread's end on this thread let sent window messages through.
const DWORD LoaderThreadId = GetCurrentThreadId();

// Waits for Handle while letting messages that other threads send to this
// thread be delivered: a thread that sends one while we wait for it (or for
// a thread it waits on) is served instead of blocking both.
bool WaitServingSentMessages(HANDLE Handle) {
  for (;;) {
    switch (MsgWaitForMultipleObjects(1, &Handle, FALSE, 1000, QS_SENDMESSAGE)) {
      case WAIT_OBJECT_0: return true;
      case WAIT_OBJECT_0 + 1: {
        // Peeking delivers the pending sent messages; posted ones stay queued.
        MSG Message;
        PeekMessageA(&Message, nullptr, 0, 0, PM_NOREMOVE);
        break;
      }
      case WAIT_TIMEOUT: break;
      default: return false;
    }
  }
}
}  // namespace

struct TThread::TImpl {
  HANDLE Handle = nullptr;  // owner's thread only
  DWORD Tid = 0;
  TBody Body = nullptr;     // fixed before the thread runs
  void* Context = nullptr;
  bool Started = false;     // owner's thread only
  // Set by the owner before it lets a never-started thread run: the thread
  // then ends without running the body. Read once by the thread.
  std::atomic<bool> Cancelled{false};

  static DWORD WINAPI Entry(LPVOID Parameter) {
    auto* Self = static_cast<TImpl*>(Parameter);
    if (!Self->Cancelled.load()) Self->Body(Self->Context);
    return 0;
  }
};

TThread::TThread() : Impl(std::make_unique<TImpl>()) {}

TThread::~TThread() {
  if (Impl->Handle == nullptr) return;
  if (!Impl->Started) {
    // Never started: let it run to its end without the body, then reap it.
    Impl->Cancelled.store(true);
    if (ResumeThread(Impl->Handle) != static_cast<DWORD>(-1)) {
      WaitForSingleObject(Impl->Handle, INFINITE);
    }
  }
  // Closing the handle of a running thread leaves it running.
  CloseHandle(Impl->Handle);
}

bool TThread::Create(TBody Body, void* Context) {
  if (Impl->Handle != nullptr || Body == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);  // one thread per object
    return false;
  }
  if (VELMORA_FAULT(ThreadCreate)) return false;
  Impl->Body = Body;
  Impl->Context = Context;
  Impl->Handle = CreateThread(nullptr, 0, &TImpl::Entry, Impl.get(), CREATE_SUSPENDED, &Impl->Tid);
  return Impl->Handle != nullptr;
}

bool TThread::Start() {
  if (Impl->Handle == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (Impl->Started) return true;
  if (VELMORA_FAULT(ThreadStart)) return false;
  if (ResumeThread(Impl->Handle) == static_cast<DWORD>(-1)) return false;
  Impl->Started = true;
  return true;
}

bool TThread::WaitForEnd() {
  if (Impl->Handle == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!Impl->Started) {
    // A suspended thread never ends; waiting for it would never return.
    ::SetLastError(ERROR_TIMEOUT);
    return false;
  }
  if (VELMORA_FAULT(ThreadWait)) return false;
  if (GetCurrentThreadId() == LoaderThreadId) return WaitServingSentMessages(Impl->Handle);
  return WaitForSingleObject(Impl->Handle, INFINITE) == WAIT_OBJECT_0;
}

uint32_t TThread::Id() const { return Impl->Tid; }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void SleepMs(uint32_t Milliseconds) { Sleep(Milliseconds); }

uint64_t TickCountMs() { return GetTickCount64(); }

uint64_t MonotonicMicroseconds() {
  // The counter's frequency is fixed at boot: read once.
  static const uint64_t Frequency = [] {
    LARGE_INTEGER Value;
    return QueryPerformanceFrequency(&Value) && Value.QuadPart > 0 ? static_cast<uint64_t>(Value.QuadPart)
                                                                   : uint64_t{0};
  }();
  LARGE_INTEGER Now;
  if (Frequency == 0 || !QueryPerformanceCounter(&Now)) return GetTickCount64() * 1000u;
  const uint64_t Ticks = static_cast<uint64_t>(Now.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return Ticks / Frequency * 1000000u + Ticks % Frequency * 1000000u / Frequency;
}

uint32_t ProcessorCount() {
  SYSTEM_INFO Info;
  GetSystemInfo(&Info);
  return Info.dwNumberOfProcessors > 0 ? Info.dwNumberOfProcessors : 1u;
}

}  // namespace Platform
