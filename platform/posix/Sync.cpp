// Critical sections, semaphores and manual-reset events for the posix
// backend, on pthread mutexes and condition variables that wait on the
// monotonic clock (a clock change never stretches or cuts a time-out).
#include <new>
#include <pthread.h>
#include <sched.h>

#include <atomic>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Sync.h"
#include "platform/posix/PosixSupport.h"

namespace Platform {

namespace {

// A primitive that cannot be locked or signalled leaves the process in an
// unknown state: stop loudly rather than limp on.
void Check(int Result) {
  if (Result != 0) abort();
}

void InitMonotonicCondition(pthread_cond_t& Condition) {
  pthread_condattr_t Attributes;
  Check(pthread_condattr_init(&Attributes));
  Check(pthread_condattr_setclock(&Attributes, CLOCK_MONOTONIC));
  Check(pthread_cond_init(&Condition, &Attributes));
  pthread_condattr_destroy(&Attributes);
}

// Waits on Condition (Mutex held) until Ready() or the deadline; true when ready.
template <typename TReady>
bool WaitUntil(pthread_cond_t& Condition, pthread_mutex_t& Mutex, uint32_t TimeoutMs, TReady Ready) {
  if (Ready()) return true;
  if (TimeoutMs == 0) return false;
  if (TimeoutMs == Infinite) {
    while (!Ready()) Check(pthread_cond_wait(&Condition, &Mutex));
    return true;
  }
  const timespec Deadline = Posix::MonotonicDeadline(TimeoutMs);
  while (!Ready()) {
    const int Result = pthread_cond_timedwait(&Condition, &Mutex, &Deadline);
    if (Result == ETIMEDOUT) return Ready();
    Check(Result);
  }
  return true;
}

class TMutexLock {
public:
  explicit TMutexLock(pthread_mutex_t& Mutex) : Mutex(Mutex) { Check(pthread_mutex_lock(&Mutex)); }
  ~TMutexLock() { pthread_mutex_unlock(&Mutex); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

private:
  pthread_mutex_t& Mutex;
};

// Every event of the process shares one mutex and one condition variable:
// events change state rarely, and a waiter on two events then needs no
// registration with either. Built on first use in the module's own static
// storage and never destroyed, so that events used while the process ends
// still find it, and a module that is unloaded leaves no heap block behind.
struct TEventHub {
  pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t Changed;
  TEventHub() { InitMonotonicCondition(Changed); }
};
TEventHub& Hub() {
  alignas(TEventHub) static unsigned char Storage[sizeof(TEventHub)];
  static TEventHub* const Instance = new (Storage) TEventHub;
  return *Instance;
}

}  // namespace

namespace Posix {
timespec MonotonicDeadline(uint32_t TimeoutMs) {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  Now.tv_sec += static_cast<time_t>(TimeoutMs / 1000);
  Now.tv_nsec += static_cast<long>(TimeoutMs % 1000) * 1000000L;
  if (Now.tv_nsec >= 1000000000L) {
    Now.tv_sec += 1;
    Now.tv_nsec -= 1000000000L;
  }
  return Now;
}
}  // namespace Posix

// ------------------------------------------------------------ critical section
struct TCriticalSection::TImpl {
  pthread_mutex_t Mutex;
};

TCriticalSection::TCriticalSection() : Impl(std::make_unique<TImpl>()) {
  pthread_mutexattr_t Attributes;
  Check(pthread_mutexattr_init(&Attributes));
  Check(pthread_mutexattr_settype(&Attributes, PTHREAD_MUTEX_RECURSIVE));
  Check(pthread_mutex_init(&Impl->Mutex, &Attributes));
  pthread_mutexattr_destroy(&Attributes);
}

TCriticalSection::~TCriticalSection() { pthread_mutex_destroy(&Impl->Mutex); }

void TCriticalSection::Enter() {
#if VELMORA_SEAM_COUNTING
  // Test builds count the enters that find the section held elsewhere.
  const int Tried = pthread_mutex_trylock(&Impl->Mutex);
  if (Tried == 0) return;
  if (Tried != EBUSY) Check(Tried);
  VELMORA_SEAM_COUNT(ContendedEnter);
#endif
  Check(pthread_mutex_lock(&Impl->Mutex));
}

void TCriticalSection::Leave() { Check(pthread_mutex_unlock(&Impl->Mutex)); }

// ------------------------------------------------------------------- semaphore
// A release signals the condition variable after leaving the mutex, and only
// when a waiter is there, so that the woken waiter does not at once block on
// the mutex the releaser still holds. A waiter may then take the count and
// return before the releaser's signal has been made, and its owner may
// destroy the semaphore: the releaser announces its signal in Signalling
// while it still holds the mutex (so before any waiter can take the count),
// and the destructor waits until no signal is in flight.
struct TSemaphore::TImpl {
  pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t Available;
  int32_t Count = 0;    // guarded by Mutex
  int32_t Maximum = 0;  // fixed at creation
  int32_t Waiters = 0;  // threads inside Wait; guarded by Mutex
  std::atomic<int32_t> Signalling{0};  // releases between leaving Mutex and signalling
};

TSemaphore::TSemaphore(int32_t InitialCount, int32_t MaximumCount) {
  if (VELMORA_FAULT(SemaphoreCreate)) {
    throw std::runtime_error("Cannot create a semaphore: " + TrimmedSystemText(LastError()));
  }
  if (MaximumCount <= 0 || InitialCount < 0 || InitialCount > MaximumCount) {
    SetLastError(87);  // ERROR_INVALID_PARAMETER, as CreateSemaphore reports it
    throw std::runtime_error("Cannot create a semaphore: invalid counts");
  }
  Impl = std::make_unique<TImpl>();
  InitMonotonicCondition(Impl->Available);
  Impl->Count = InitialCount;
  Impl->Maximum = MaximumCount;
}

TSemaphore::~TSemaphore() {
  // Whoever destroys the semaphore has seen the last wait end, so every
  // release that could still be signalling had announced itself by then.
  while (Impl->Signalling.load(std::memory_order_acquire) != 0) sched_yield();
  pthread_cond_destroy(&Impl->Available);
  pthread_mutex_destroy(&Impl->Mutex);
}

TWaitResult TSemaphore::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(SemaphoreWait)) return TWaitResult::Failed;
  return VELMORA_SEAM_IDLE_WAIT(TimeoutMs, [this](uint32_t Milliseconds) {
    TMutexLock Guard(Impl->Mutex);
    ++Impl->Waiters;
    const bool Taken = WaitUntil(Impl->Available, Impl->Mutex, Milliseconds, [this] { return Impl->Count > 0; });
    --Impl->Waiters;
    if (!Taken) return TWaitResult::Timeout;
    --Impl->Count;
    return TWaitResult::Signaled;
  });
}

bool TSemaphore::Release(int32_t Count) {
  if (VELMORA_FAULT(SemaphoreRelease)) return false;
  int32_t Wake = 0;
  {
    TMutexLock Guard(Impl->Mutex);
    if (Count <= 0) {
      SetLastError(87);  // ERROR_INVALID_PARAMETER
      return false;
    }
    if (Count > Impl->Maximum - Impl->Count) {
      SetLastError(298);  // ERROR_TOO_MANY_POSTS; the count stays as it was
      return false;
    }
    Impl->Count += Count;
    Wake = Count < Impl->Waiters ? Count : Impl->Waiters;
    if (Wake > 0) Impl->Signalling.fetch_add(1, std::memory_order_relaxed);
  }
  if (Wake == 0) return true;
  if (Wake == 1) {
    Check(pthread_cond_signal(&Impl->Available));
  } else {
    Check(pthread_cond_broadcast(&Impl->Available));
  }
  Impl->Signalling.fetch_sub(1, std::memory_order_release);
  return true;
}

// ----------------------------------------------------------------------- event
struct TEvent::TImpl {
  // Changed only under the event hub's mutex; IsSet reads it without.
  std::atomic<bool> Signaled{false};
};

TEvent::TEvent() : Impl(std::make_unique<TImpl>()) {
  if (VELMORA_FAULT(EventCreate)) {
    throw std::runtime_error("Cannot create an event: " + TrimmedSystemText(LastError()));
  }
  Hub();
}

TEvent::~TEvent() = default;

void TEvent::Set() {
  VELMORA_SEAM_COUNT(EventSet);
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  if (!Impl->Signaled.load(std::memory_order_relaxed)) {
    Impl->Signaled.store(true, std::memory_order_release);
    Check(pthread_cond_broadcast(&H.Changed));
  }
}

void TEvent::Reset() {
  VELMORA_SEAM_COUNT(EventReset);
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  Impl->Signaled.store(false, std::memory_order_release);
}

bool TEvent::IsSet() const { return Impl->Signaled.load(std::memory_order_acquire); }

TWaitResult TEvent::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWait)) return TWaitResult::Failed;
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  return WaitUntil(H.Changed, H.Mutex, TimeoutMs, [this] { return Impl->Signaled.load(std::memory_order_relaxed); })
             ? TWaitResult::Signaled
             : TWaitResult::Timeout;
}

TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWaitEither)) return TWhichEvent::Failed;
  TimeoutMs = VELMORA_SEAM_EITHER_TIMEOUT(TimeoutMs);
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  const bool Either = WaitUntil(H.Changed, H.Mutex, TimeoutMs, [&] {
    return First.Impl->Signaled.load(std::memory_order_relaxed) ||
           Second.Impl->Signaled.load(std::memory_order_relaxed);
  });
  if (!Either) return TWhichEvent::Timeout;
  return First.Impl->Signaled.load(std::memory_order_relaxed) ? TWhichEvent::First
                                                              : TWhichEvent::Second;
}

}  // namespace Platform
