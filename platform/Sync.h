// Kernel objects for synchronisation: critical sections, semaphores,
// manual-reset events and the wait on either of two events (win32/Sync.cpp,
// posix/Sync.cpp).
#pragma once

#include <cstdint>
#include <memory>

namespace Platform {

constexpr uint32_t Infinite = 0xFFFFFFFFu;

enum class TWaitResult { Signaled, Timeout, Failed };

// Re-entrant mutual exclusion (a Win32 critical section).
class TCriticalSection {
public:
  TCriticalSection();
  ~TCriticalSection();
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void Enter();
  void Leave();

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

// Enter on construction, leave on destruction.
class TLockGuard {
public:
  explicit TLockGuard(TCriticalSection& Lock) : Lock(Lock) { Lock.Enter(); }
  ~TLockGuard() { Lock.Leave(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TCriticalSection& Lock;
};

// Unnamed counting semaphore.
class TSemaphore {
public:
  TSemaphore(int32_t InitialCount, int32_t MaximumCount);  // throws std::runtime_error when it cannot be made
  ~TSemaphore();
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;
  TWaitResult Wait(uint32_t TimeoutMs);  // 0 tests without waiting
  bool Release(int32_t Count = 1);       // false when the maximum would be exceeded

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

// The outcome of waiting on two events (see WaitForEither below).
enum class TWhichEvent { First, Second, Timeout, Failed };
class TEvent;
TWhichEvent WaitForEither(TEvent& First, TEvent& Second, uint32_t TimeoutMs);

// Unnamed manual-reset event, created not signalled.
class TEvent {
public:
  TEvent();  // throws std::runtime_error when it cannot be made
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;  // tested without waiting and without a kernel call
  TWaitResult Wait(uint32_t TimeoutMs);

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
  friend TWhichEvent WaitForEither(TEvent&, TEvent&, uint32_t);
};

// WaitForMultipleObjects(2, {First, Second}, FALSE, Timeout): when both are
// signalled, First is reported.

}  // namespace Platform
