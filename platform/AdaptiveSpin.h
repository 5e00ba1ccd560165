// TAdaptiveSpin: a short, bounded spin before a thread's blocking wait, kept
// only while it pays. Waking a sleeping thread costs more (tens of µs) than
// the gap between records when work is dense; spinning on the sign of work
// for up to a limit lets the thread take it without that cost. One object
// per waiting thread; not thread-safe.
#pragma once

#include <cstdint>

namespace Platform {

class TAdaptiveSpin {
public:
  using TClock = uint64_t (*)();  // monotonic microseconds

  // Spins found nothing this many times in a row: the thread rests.
  static constexpr uint32_t MissesBeforeRest = 4;

  // LimitUs per spin; none at all on a machine with one processor (the
  // thread that would bring the work cannot run meanwhile). A build with
  // VELMORA_SPIN_US defined uses that limit for every spin instead.
  explicit TAdaptiveSpin(uint32_t LimitUs);
  // The same with the clock and processor count given (tests); no override.
  TAdaptiveSpin(uint32_t LimitUs, TClock Clock, uint32_t Processors);

  // Spins until Ready() is true (true) or the limit has passed (false).
  // Resting, or with a limit of 0, returns false at once without calling
  // Ready. Ready must be cheap and must not block: a relaxed load.
  template <class TReady>
  bool SpinFor(TReady&& Ready) {
    return SpinUntil([](void* Context) { return (*static_cast<TReady*>(Context))(); }, &Ready);
  }

  // Around the blocking wait that follows a spin that found nothing: a
  // resting thread is armed again when the wait ends with work (Woken)
  // within the limit of its start, as a spin would have caught it.
  void SleepBegins();
  void SleepEnds(bool Woken);
  // The thread has been idle for long (an idle time-out): no spin until the
  // work is dense again.
  void Rest() { Resting = true; }

  bool IsResting() const { return Resting; }
  uint32_t LimitUs() const { return Limit; }

private:
  bool SpinUntil(bool (*Ready)(void*), void* Context);

  const uint32_t Limit;
  const TClock Clock;
  uint32_t Misses = 0;
  bool Resting = false;
  uint64_t SleepStart = 0;
};

}  // namespace Platform
