// The spin and its arming (platform/AdaptiveSpin.h). Portable: the clock
// and the processor count come from the backend (platform/Thread.h).
#include "platform/AdaptiveSpin.h"

#include "platform/Thread.h"

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define VELMORA_SPIN_PAUSE() __builtin_ia32_pause()
#else
#define VELMORA_SPIN_PAUSE() Platform::SleepMs(0)
#endif

namespace Platform {

namespace {

// Pauses between two reads of the clock (and yields): a pause is 10-140
// cycles depending on the processor, so the limit is overrun by well under a
// microsecond.
constexpr uint32_t PausesPerClockRead = 32;

uint32_t EffectiveLimit(uint32_t LimitUs, uint32_t Processors) {
  if (Processors <= 1) return 0;
#ifdef VELMORA_SPIN_US
  (void)LimitUs;
  return VELMORA_SPIN_US;
#else
  return LimitUs;
#endif
}

}  // namespace

TAdaptiveSpin::TAdaptiveSpin(uint32_t LimitUs)
    : Limit(EffectiveLimit(LimitUs, ProcessorCount())), Clock(&MonotonicMicroseconds) {}

TAdaptiveSpin::TAdaptiveSpin(uint32_t LimitUs, TClock Clock, uint32_t Processors)
    : Limit(Processors <= 1 ? 0 : LimitUs), Clock(Clock) {}

bool TAdaptiveSpin::SpinUntil(bool (*Ready)(void*), void* Context) {
  Skipped = nullptr;  // a skip whose wait never came tells nothing
  if (Limit == 0) return false;
  TKind& Kind = Kinds[LastShort];
  if (Kind.Resting) {
    Skipped = &Kind;
    return false;
  }
  const uint64_t Start = Clock();
  for (;;) {
    for (uint32_t I = 0; I < PausesPerClockRead; ++I) {
      if (Ready(Context)) {
        Kind.Misses = 0;
        LastShort = true;
        return true;
      }
      VELMORA_SPIN_PAUSE();
    }
    if (Clock() - Start >= Limit) break;
    // Give the processor up to any thread ready on it: with few cores the
    // thread that brings the work may be queued behind this one.
    SleepMs(0);
  }
  if (++Kind.Misses >= MissesBeforeRest) Kind.Resting = true;
  LastShort = false;
  return false;
}

void TAdaptiveSpin::SleepBegins() {
  if (Skipped != nullptr) SleepStart = Clock();
}

void TAdaptiveSpin::SleepEnds(bool Woken) {
  if (Skipped == nullptr) return;
  LastShort = Woken && Clock() - SleepStart <= Limit;
  if (LastShort) *Skipped = TKind{};
  Skipped = nullptr;
}

void TAdaptiveSpin::Rest() {
  Kinds[0].Resting = Kinds[1].Resting = true;
  LastShort = false;
  Skipped = nullptr;
}

}  // namespace Platform
