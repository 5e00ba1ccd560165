// The floating-point control state of the calling thread, which a foreign
// call must give back as it found it (both x86 conventions make the x87
// control word and the SSE control bits the callee's to preserve). Used by
// the foreign-call guard of each backend; other processors have nothing here.
#pragma once

#include <cstdint>

namespace Platform {

struct TFloatControl {
  uint16_t X87 = 0;  // the x87 control word: exception masks, precision, rounding
  uint32_t Sse = 0;  // MXCSR: SSE exception masks and flags, rounding
};

#if defined(__i386__) || defined(__x86_64__)

inline TFloatControl ReadFloatControl() {
  TFloatControl State;
  asm volatile("fnstcw %0" : "=m"(State.X87));
  asm volatile("stmxcsr %0" : "=m"(State.Sse));
  return State;
}

// After a call that returned: the control words as they were before it,
// where the callee changed them (the exception flags it raised are kept).
inline void KeepFloatControl(const TFloatControl& Before) {
  constexpr uint32_t SseFlags = 0x3F;
  const TFloatControl Now = ReadFloatControl();
  if (Now.X87 != Before.X87) asm volatile("fnclex\n\tfldcw %0" : : "m"(Before.X87));
  if ((Now.Sse & ~SseFlags) != (Before.Sse & ~SseFlags)) {
    const uint32_t Sse = (Before.Sse & ~SseFlags) | (Now.Sse & SseFlags);
    asm volatile("ldmxcsr %0" : : "m"(Sse));
  }
}

// After a fault: the faulting code may have left anything, registers pushed
// on the x87 stack, exceptions unmasked and pending. The x87 unit is reset
// (stack emptied, status cleared) and both control words put back as they
// were before the call, without pending SSE flags; without this, the next
// double our code returns through the x87 stack could overflow it and come
// back as a NaN, or raise.
inline void ResetFloatState(const TFloatControl& Before) {
  constexpr uint32_t SseFlags = 0x3F;
  const uint32_t Sse = Before.Sse & ~SseFlags;
  asm volatile("fninit\n\tfldcw %0" : : "m"(Before.X87));
  asm volatile("ldmxcsr %0" : : "m"(Sse));
}

#else

inline TFloatControl ReadFloatControl() { return {}; }
inline void KeepFloatControl(const TFloatControl&) {}
inline void ResetFloatState(const TFloatControl&) {}

#endif

}  // namespace Platform
