// Threads, thread ids, sleeping and the tick count for the posix backend. A
// thread is created "suspended": the pthread starts at once but waits at a
// start gate until Start() opens it; a thread that is never started is let
// through the gate without running its body and joined when destroyed.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Thread.h"
#include "platform/posix/PosixSupport.h"

namespace Platform {

namespace {

void Check(int Result) {
  if (Result != 0) abort();
}

enum class TGateState { Closed, Run, Cancel };

// Shared by the owner object and the thread, so either may go first.
struct TStartGate {
  pthread_mutex_t Mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t Changed = PTHREAD_COND_INITIALIZER;
  TGateState State = TGateState::Closed;  // guarded by Mutex
  uint32_t Tid = 0;                       // guarded by Mutex; set by the thread
  TThread::TBody Body = nullptr;          // fixed before the thread starts
  void* Context = nullptr;
  ~TStartGate() {
    pthread_cond_destroy(&Changed);
    pthread_mutex_destroy(&Mutex);
  }
};

void* ThreadMain(void* Argument) {
  std::shared_ptr<TStartGate> Gate(std::move(*static_cast<std::shared_ptr<TStartGate>*>(Argument)));
  delete static_cast<std::shared_ptr<TStartGate>*>(Argument);
  Check(pthread_mutex_lock(&Gate->Mutex));
  Gate->Tid = static_cast<uint32_t>(gettid());
  Check(pthread_cond_broadcast(&Gate->Changed));
  while (Gate->State == TGateState::Closed) Check(pthread_cond_wait(&Gate->Changed, &Gate->Mutex));
  const bool Run = Gate->State == TGateState::Run;
  const TThread::TBody Body = Gate->Body;
  void* const Context = Gate->Context;
  pthread_mutex_unlock(&Gate->Mutex);
  Gate.reset();
  if (Run) Body(Context);
  return nullptr;
}

}  // namespace

struct TThread::TImpl {
  std::shared_ptr<TStartGate> Gate;  // null until Create succeeded
  pthread_t Handle{};
  uint32_t Tid = 0;
  // Serialises joining: the first waiter joins, later ones find Joined set.
  pthread_mutex_t JoinMutex = PTHREAD_MUTEX_INITIALIZER;
  bool Joined = false;  // guarded by JoinMutex
  bool Started = false;  // owner's thread only
};

TThread::TThread() : Impl(std::make_unique<TImpl>()) {}

TThread::~TThread() {
  if (Impl->Gate) {
    if (!Impl->Started) {
      // Never started: open the gate without running the body, then reap it.
      Check(pthread_mutex_lock(&Impl->Gate->Mutex));
      Impl->Gate->State = TGateState::Cancel;
      Check(pthread_cond_broadcast(&Impl->Gate->Changed));
      pthread_mutex_unlock(&Impl->Gate->Mutex);
      WaitForEnd();
    } else {
      Check(pthread_mutex_lock(&Impl->JoinMutex));
      // Closing the handle of a running thread leaves it running, as on Windows.
      if (!Impl->Joined) pthread_detach(Impl->Handle);
      pthread_mutex_unlock(&Impl->JoinMutex);
    }
  }
  pthread_mutex_destroy(&Impl->JoinMutex);
}

bool TThread::Create(TBody Body, void* Context) {
  if (Impl->Gate || Body == nullptr) {
    SetLastError(87);  // ERROR_INVALID_PARAMETER: one thread per object
    return false;
  }
  if (VELMORA_FAULT(ThreadCreate)) return false;
  auto Gate = std::make_shared<TStartGate>();
  Gate->Body = Body;
  Gate->Context = Context;
  auto* Argument = new std::shared_ptr<TStartGate>(Gate);
  const int Result = pthread_create(&Impl->Handle, nullptr, &ThreadMain, Argument);
  if (Result != 0) {
    delete Argument;
    SetLastError(8);  // ERROR_NOT_ENOUGH_MEMORY
    return false;
  }
  // CreateThread hands out the id at once: wait until the thread has told it.
  Check(pthread_mutex_lock(&Gate->Mutex));
  while (Gate->Tid == 0) Check(pthread_cond_wait(&Gate->Changed, &Gate->Mutex));
  Impl->Tid = Gate->Tid;
  pthread_mutex_unlock(&Gate->Mutex);
  Impl->Gate = std::move(Gate);
  return true;
}

bool TThread::Start() {
  if (!Impl->Gate) {
    SetLastError(6);  // ERROR_INVALID_HANDLE
    return false;
  }
  if (VELMORA_FAULT(ThreadStart)) return false;
  Impl->Started = true;
  Check(pthread_mutex_lock(&Impl->Gate->Mutex));
  if (Impl->Gate->State == TGateState::Closed) Impl->Gate->State = TGateState::Run;
  Check(pthread_cond_broadcast(&Impl->Gate->Changed));
  pthread_mutex_unlock(&Impl->Gate->Mutex);
  return true;
}

bool TThread::WaitForEnd() {
  if (!Impl->Gate) {
    SetLastError(6);  // ERROR_INVALID_HANDLE
    return false;
  }
  if (VELMORA_FAULT(ThreadWait)) return false;
  Check(pthread_mutex_lock(&Impl->JoinMutex));
  if (!Impl->Joined) {
    bool Closed = false;
    Check(pthread_mutex_lock(&Impl->Gate->Mutex));
    Closed = Impl->Gate->State == TGateState::Closed;
    pthread_mutex_unlock(&Impl->Gate->Mutex);
    if (Closed) {
      // A suspended thread never ends; waiting for it would never return.
      pthread_mutex_unlock(&Impl->JoinMutex);
      SetLastError(1460);  // ERROR_TIMEOUT
      return false;
    }
    Check(pthread_join(Impl->Handle, nullptr));
    Impl->Joined = true;
  }
  pthread_mutex_unlock(&Impl->JoinMutex);
  return true;
}

uint32_t TThread::Id() const { return Impl->Tid; }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(gettid()); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void SleepMs(uint32_t Milliseconds) {
  if (Milliseconds == 0) {
    sched_yield();  // Sleep(0) gives up the rest of the time slice
    return;
  }
  timespec Remaining{static_cast<time_t>(Milliseconds / 1000),
                     static_cast<long>(Milliseconds % 1000) * 1000000L};
  while (nanosleep(&Remaining, &Remaining) != 0 && errno == EINTR) {
  }
}

uint64_t TickCountMs() {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<uint64_t>(Now.tv_sec) * 1000u + static_cast<uint64_t>(Now.tv_nsec) / 1000000u;
}

uint64_t MonotonicMicroseconds() {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<uint64_t>(Now.tv_sec) * 1000000u + static_cast<uint64_t>(Now.tv_nsec) / 1000u;
}

uint32_t ProcessorCount() {
  const long Count = sysconf(_SC_NPROCESSORS_ONLN);
  return Count > 0 ? static_cast<uint32_t>(Count) : 1u;
}

}  // namespace Platform
