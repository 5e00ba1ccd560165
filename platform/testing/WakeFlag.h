// A wake-up for one waiting thread, built on a user-mode lock and condition
// variable rather than a kernel semaphore: an SRW lock and a
// CONDITION_VARIABLE on Windows (which Wine implements with futexes, without
// a wineserver round trip), a mutex and condition variable natively. The
// stand-ins use it on their own hot paths, so that a benchmark of the relay
// does not measure a stand-in's kernel calls as the relay's.
#pragma once

#include <memory>

namespace Platform {

class TWakeFlag {
public:
  TWakeFlag();
  ~TWakeFlag();
  TWakeFlag(const TWakeFlag&) = delete;
  TWakeFlag& operator=(const TWakeFlag&) = delete;
  // Returns once a wake is there, and takes it.
  void Wait();
  // Leaves a wake for the waiter (one, however many calls come before it
  // takes it) and wakes it. Signalled under the lock, so the waiter may
  // destroy the flag as soon as Wait returns.
  void Wake();

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

}  // namespace Platform
