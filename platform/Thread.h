// Threads, thread and process ids, sleeping, the clocks and the processor count
// (win32/Thread.cpp, posix/Thread.cpp).
#pragma once

#include <cstdint>
#include <memory>

namespace Platform {

// An operating-system thread, created suspended and started by its owner.
// The thread is never released automatically: the owner waits for its end
// and then destroys the object.
class TThread {
public:
  using TBody = void (*)(void* Context);
  TThread();
  ~TThread();  // closes the handle; the thread must have ended (or never started)
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  bool Create(TBody Body, void* Context);  // suspended; false: LastError() tells why
  bool Start();                            // ResumeThread
  // Waits until the thread has ended. On the thread that loaded this module
  // the wait wakes at least once a second and whenever another thread sends a
  // window message to it, lets such sent messages be delivered and waits on;
  // elsewhere it is a plain wait without time limit.
  bool WaitForEnd();
  uint32_t Id() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

uint32_t CurrentThreadId();
uint32_t CurrentProcessId();
void SleepMs(uint32_t Milliseconds);
uint64_t TickCountMs();  // monotonic milliseconds
// Monotonic microseconds from a clock cheap enough to read inside a spin
// (the performance counter on Windows, CLOCK_MONOTONIC natively).
uint64_t MonotonicMicroseconds();
// Processors the system runs threads on now; at least 1.
uint32_t ProcessorCount();

}  // namespace Platform
