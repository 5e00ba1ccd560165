// The wake flag on an SRW lock and a condition variable (Vista and later).
#include <windows.h>

#include "platform/testing/WakeFlag.h"

namespace Platform {

struct TWakeFlag::TImpl {
  SRWLOCK Lock = SRWLOCK_INIT;
  CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
  bool Woken = false;
};

TWakeFlag::TWakeFlag() : Impl(std::make_unique<TImpl>()) {}
TWakeFlag::~TWakeFlag() = default;

void TWakeFlag::Wait() {
  AcquireSRWLockExclusive(&Impl->Lock);
  while (!Impl->Woken) SleepConditionVariableSRW(&Impl->Changed, &Impl->Lock, INFINITE, 0);
  Impl->Woken = false;
  ReleaseSRWLockExclusive(&Impl->Lock);
}

void TWakeFlag::Wake() {
  AcquireSRWLockExclusive(&Impl->Lock);
  Impl->Woken = true;
  WakeConditionVariable(&Impl->Changed);
  ReleaseSRWLockExclusive(&Impl->Lock);
}

}  // namespace Platform
