// The backends' side of the fault and clock seam (platform/FaultSeam.h), for
// the backend files alone. Compiled for the product, every macro is a
// constant or the value it is given, so the product's code is what it would
// be without them; compiled for the test build of the platform library
// (VELMORA_FAULT_SEAM), each consults the seam's state.
//
// VELMORA_FAULT(Operation): true when this call of the operation is to fail;
//   the thread's last error is then the chosen code, set through
//   SetLastError of this module (so LastError reports it as it would a
//   system failure), and the backend returns as the system's failure would.
// VELMORA_SEAM_COUNT(Call): counts one call the seam never fails (see
//   TCountedCall); nothing in the product.
// VELMORA_SEAM_CLOCK(Time): the local time to report for the system's Time.
// VELMORA_SEAM_IDLE_WAIT(TimeoutMs, WaitFor): WaitFor(Milliseconds) is one
//   wait of at most Milliseconds giving a TWaitResult; in the test build a
//   finite, non-zero wait is made in short slices so that the seam's
//   one-shot idle expiry can end it as timed out.
// VELMORA_SEAM_EITHER_TIMEOUT(TimeoutMs): the time-out a wait on either of
//   two events is to use: 0 (a look) while the seam expires such waits.
#pragma once

#if defined(VELMORA_FAULT_SEAM)

#include <cstdint>

#include "platform/Errors.h"
#include "platform/FaultSeam.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace Platform::FaultPoint {

inline bool Injected(TFaultOperation Operation) noexcept {
  uint32_t Code = 0;
  if (!FaultSeam::Fails(Operation, Code)) return false;
  SetLastError(Code);
  return true;
}

template <typename TWaitFor>
TWaitResult IdleWait(uint32_t TimeoutMs, TWaitFor WaitFor) {
  if (TimeoutMs == 0 || TimeoutMs == Infinite) return WaitFor(TimeoutMs);
  constexpr uint32_t SliceMs = 5;
  const uint64_t Deadline = TickCountMs() + TimeoutMs;
  for (;;) {
    if (FaultSeam::TakeIdleExpiry()) return TWaitResult::Timeout;
    const uint64_t Now = TickCountMs();
    if (Now >= Deadline) return TWaitResult::Timeout;
    const uint64_t Left = Deadline - Now;
    const TWaitResult Result = WaitFor(static_cast<uint32_t>(Left < SliceMs ? Left : SliceMs));
    if (Result != TWaitResult::Timeout) return Result;
  }
}

}  // namespace Platform::FaultPoint

#define VELMORA_FAULT(Operation) \
  (::Platform::FaultPoint::Injected(::Platform::TFaultOperation::Operation))
#define VELMORA_SEAM_COUNT(Call) (::Platform::FaultSeam::Count(::Platform::TCountedCall::Call))
#define VELMORA_SEAM_COUNTING 1
#define VELMORA_SEAM_CLOCK(Time) (::Platform::FaultSeam::Clock(Time))
#define VELMORA_SEAM_IDLE_WAIT(TimeoutMs, WaitFor) \
  (::Platform::FaultPoint::IdleWait((TimeoutMs), (WaitFor)))
#define VELMORA_SEAM_EITHER_TIMEOUT(TimeoutMs) \
  (::Platform::FaultSeam::EitherWaitsExpire() ? 0u : (TimeoutMs))

#else

#define VELMORA_FAULT(Operation) false
#define VELMORA_SEAM_COUNT(Call) ((void)0)
#define VELMORA_SEAM_COUNTING 0
#define VELMORA_SEAM_CLOCK(Time) (Time)
#define VELMORA_SEAM_IDLE_WAIT(TimeoutMs, WaitFor) ((WaitFor)(TimeoutMs))
#define VELMORA_SEAM_EITHER_TIMEOUT(TimeoutMs) (TimeoutMs)

#endif
