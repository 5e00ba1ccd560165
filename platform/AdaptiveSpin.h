// TAdaptiveSpin: a short, bounded spin before a thread's blocking wait, kept
// only while it pays. Waking a sleeping thread costs more (tens of µs) than
// the gap between records when work is dense; spinning on the sign of work
// for up to a limit lets the thread take it without that cost. One object
// per waiting thread; not thread-safe.
//
// Whether to spin is learnt apart for the two kinds of wait a thread meets:
// after a wait whose work came within the limit ("short") and after one
// whose work did not ("long"). A thread that alternates, as the relay's
// worker does with one command in flight (the host's next command comes at
// once, the server's answer a network round trip later), so spins where it
// catches work and sleeps at once where it would not.
#pragma once

#include <cstdint>

namespace Platform {

class TAdaptiveSpin {
public:
  using TClock = uint64_t (*)();  // monotonic microseconds

  // Spins found nothing this many times in a row (for one kind of wait):
  // the thread rests, for that kind, until a sleep shows work came within
  // the limit.
  static constexpr uint32_t MissesBeforeRest = 4;
  // Near the measured cost of waking a sleeping thread: the limit every
  // waiting thread of the relay (and of the stand-ins the benchmarks use)
  // spins for.
  static constexpr uint32_t DefaultLimitUs = 30;

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

  // Around the blocking wait that follows a SpinFor that returned false:
  // after a spin skipped for resting, they tell whether the work came within
  // the limit (Woken that soon after SleepBegins), which arms it again.
  void SleepBegins();
  void SleepEnds(bool Woken);
  // The thread has been idle for long (an idle time-out): no spin until the
  // work is dense again.
  void Rest();

  // Whether the next SpinFor would return at once.
  bool IsResting() const { return Limit == 0 || Kinds[LastShort].Resting; }
  uint32_t LimitUs() const { return Limit; }

private:
  bool SpinUntil(bool (*Ready)(void*), void* Context);

  struct TKind {
    uint32_t Misses = 0;  // spins in a row that found nothing
    bool Resting = false;
  };

  const uint32_t Limit;
  const TClock Clock;
  TKind Kinds[2];          // [0] after a long wait, [1] after a short one
  bool LastShort = false;  // what the last wait was
  // A spin skipped for resting: its wait's outcome is told by the sleep.
  TKind* Skipped = nullptr;
  uint64_t SleepStart = 0;
};

}  // namespace Platform
