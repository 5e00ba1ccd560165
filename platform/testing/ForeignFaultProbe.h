// Behaviours of foreign code for the tests of the foreign-call guard: raising
// a structured exception, running code inside a frame that has an exception
// handler of its own, and reading the thread's exception chain. Built into a
// test library, they stand for code the plug-in does not own. Natively there
// are no structured exceptions: the raise aborts (the tests skip those cases)
// and the frame is a plain call.
#pragma once

#include <cstdint>

namespace Platform {

// RaiseException(Code): continuable or not.
void RaiseStructuredException(uint32_t Code, bool Continuable);

// What the handler of an own frame saw.
struct TOwnFrameCounts {
  uint32_t HandledCode = 0;  // exceptions with this code are handled (execution continues)
  int Handled = 0;           // ... and counted here
  int Unwound = 0;           // calls while the frame was being unwound
};

// Calls Body(Context) inside a frame whose handler continues every exception
// with Counts.HandledCode, counts the calls it receives while the frame is
// unwound, and passes everything else on. Like code built by another
// compiler, the frame is not unlinked when one of our C++ exceptions passes
// through it (i686).
void CallInOwnFrame(void (*Body)(void* Context), void* Context, TOwnFrameCounts& Counts);

// The head of the thread's chain of registration records (fs:[0]) in the
// i686 build; 0 where there is no such chain (x86-64, natively).
uintptr_t ExceptionChainHead();

// One cheap call into the kernel (a yield), to compare the guard's cost with.
void SystemCallForComparison();

// Leaves the thread's floating point as careless foreign code might: every
// x87 and SSE exception unmasked and, with FillStack, all eight x87
// registers in use. Processor state, not the system's: the same everywhere
// on x86, nothing elsewhere.
inline void SpoilFloatingPointState(bool FillStack) {
#if defined(__i386__) || defined(__x86_64__)
  if (FillStack) {
    asm volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1" ::: "memory");
  }
  const uint16_t X87Unmasked = 0x0340;   // no exception masked; 64-bit precision, nearest
  const uint32_t SseUnmasked = 0x0000;   // no exception masked; nearest
  asm volatile("fldcw %0" : : "m"(X87Unmasked));
  asm volatile("ldmxcsr %0" : : "m"(SseUnmasked));
#else
  (void)FillStack;
#endif
}

}  // namespace Platform
