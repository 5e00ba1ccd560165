// Critical sections, semaphores and manual-reset events for the posix
// backend, on pthread mutexes and condition variables that wait on the
// monotonic clock (a clock change never stretches or cuts a time-out).
#include <new>
#include <pthread.h>

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

void TCriticalSection::Enter() { Check(pthread_mutex_lock(&Impl->Mutex)); }

void TCriticalSection::Leave() { Check(pthread_mutex_unlock(&Impl->Mutex)); }

// ------------------------------------------------------------------- semaphore
struct TSemaphore::TImpl {
  pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t Available;
  int32_t Count = 0;    // guarded by Mutex
  int32_t Maximum = 0;  // fixed at creation
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
  pthread_cond_destroy(&Impl->Available);
  pthread_mutex_destroy(&Impl->Mutex);
}

TWaitResult TSemaphore::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(SemaphoreWait)) return TWaitResult::Failed;
  return VELMORA_SEAM_IDLE_WAIT(TimeoutMs, [this](uint32_t Milliseconds) {
    TMutexLock Guard(Impl->Mutex);
    if (!WaitUntil(Impl->Available, Impl->Mutex, Milliseconds, [this] { return Impl->Count > 0; })) {
      return TWaitResult::Timeout;
    }
    --Impl->Count;
    return TWaitResult::Signaled;
  });
}

bool TSemaphore::Release(int32_t Count) {
  if (VELMORA_FAULT(SemaphoreRelease)) return false;
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
  if (Count == 1) {
    Check(pthread_cond_signal(&Impl->Available));
  } else {
    Check(pthread_cond_broadcast(&Impl->Available));
  }
  return true;
}

// ----------------------------------------------------------------------- event
struct TEvent::TImpl {
  bool Signaled = false;  // guarded by the event hub's mutex
};

TEvent::TEvent() : Impl(std::make_unique<TImpl>()) {
  if (VELMORA_FAULT(EventCreate)) {
    throw std::runtime_error("Cannot create an event: " + TrimmedSystemText(LastError()));
  }
  Hub();
}

TEvent::~TEvent() = default;

void TEvent::Set() {
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  if (!Impl->Signaled) {
    Impl->Signaled = true;
    Check(pthread_cond_broadcast(&H.Changed));
  }
}

void TEvent::Reset() {
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  Impl->Signaled = false;
}

bool TEvent::IsSet() const {
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  return Impl->Signaled;
}

TWaitResult TEvent::Wait(uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWait)) return TWaitResult::Failed;
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  return WaitUntil(H.Changed, H.Mutex, TimeoutMs, [this] { return Impl->Signaled; })
             ? TWaitResult::Signaled
             : TWaitResult::Timeout;
}

TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs) {
  if (VELMORA_FAULT(EventWaitEither)) return TWhichEvent::Failed;
  TEventHub& H = Hub();
  TMutexLock Guard(H.Mutex);
  const bool Either = WaitUntil(H.Changed, H.Mutex, TimeoutMs, [&] {
    return First.Impl->Signaled || Second.Impl->Signaled;
  });
  if (!Either) return TWhichEvent::Timeout;
  return First.Impl->Signaled ? TWhichEvent::First : TWhichEvent::Second;
}

}  // namespace Platform
