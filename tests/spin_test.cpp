// The adaptive spin: when it spins, when it rests and what arms it again,
// driven by a fake clock; then one spin on the system's own clock.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>

#include "platform/AdaptiveSpin.h"
#include "platform/Thread.h"

namespace {

uint64_t FakeNow = 0;
uint64_t FakeClock() { return ++FakeNow; }  // 1 µs a read, so a spin always ends

// Steps: "hit" (work at the third look), "miss" (none: false after the
// limit), "skip" (false at once, work not looked at), "wake:N" / "timeout:N"
// (a wait of N µs ending with / without work), "idle". A wait's kind (short
// or long) is what the step before it found.
struct TCase {
  uint32_t LimitUs, Processors;
  const char* Steps;
};
const TCase Cases[] = {
    {30, 2, "miss miss miss miss skip skip"},                    // four misses in a row rest
    {30, 2, "miss miss miss hit miss miss miss miss miss skip"},  // a hit starts the count again
    {30, 2, "miss miss miss miss skip wake:20 miss hit"},         // a wake within the limit arms
    {30, 2, "miss miss miss miss skip wake:30 miss hit"},         // ... at the limit too
    {30, 2, "miss miss miss miss skip wake:31 skip"},             // a later one does not
    {30, 2, "miss miss miss miss skip timeout:5 skip"},           // nor a time-out
    {30, 2, "hit idle skip timeout:1 skip wake:10 skip wake:10 hit"},         // idle rests both kinds
    {30, 2, "hit miss hit miss hit miss hit miss hit skip wake:90 hit skip"},  // alternating waits
    {30, 2, "miss miss miss wake:5 miss skip"},  // a wake while armed changes nothing
    {30, 1, "skip wake:1 skip skip"},            // one processor: never
    {0, 4, "skip wake:0 skip"},                  // a limit of 0: never
};

class AdaptiveSpinCase : public testing::TestWithParam<TCase> {};

TEST_P(AdaptiveSpinCase, FollowsItsSteps) {
  const TCase& C = GetParam();
  Platform::TAdaptiveSpin Spin(C.LimitUs, &FakeClock, C.Processors);
  std::istringstream Steps(C.Steps);
  std::string Step;
  while (Steps >> Step) {
    SCOPED_TRACE(std::string(C.Steps) + ": " + Step);
    const std::string Kind = Step.substr(0, Step.find(':'));
    if (Kind == "wake" || Kind == "timeout") {
      Spin.SleepBegins();
      FakeNow += std::stoul(Step.substr(Step.find(':') + 1)) - 1;  // SleepEnds reads once more
      Spin.SleepEnds(Kind == "wake");
    } else if (Kind == "idle") {
      Spin.Rest();
    } else {
      int Looks = 0;
      const uint64_t Start = FakeNow;
      EXPECT_EQ(Spin.SpinFor([&] { return ++Looks >= 3 && Kind == "hit"; }), Kind == "hit");
      // A skip looks at nothing; a miss lasts the limit and not much longer
      // (the clock is read once per few dozen looks).
      EXPECT_EQ(Kind == "skip" ? 0 : Looks, Looks);
      EXPECT_EQ(Kind == "miss" ? C.LimitUs + 1 : FakeNow - Start, FakeNow - Start);
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Steps, AdaptiveSpinCase, testing::ValuesIn(Cases));

TEST(AdaptiveSpin, SpinsOnTheSystemClock) {
  ASSERT_GE(Platform::ProcessorCount(), 1u);
  Platform::TAdaptiveSpin Spin(2000, &Platform::MonotonicMicroseconds, 2);
  const uint64_t Start = Platform::MonotonicMicroseconds();
  EXPECT_FALSE(Spin.SpinFor([] { return false; }));
  const uint64_t Spun = Platform::MonotonicMicroseconds() - Start;
  EXPECT_GE(Spun, 2000u);
  EXPECT_LT(Spun, 2000000u);  // bounded, even on a loaded machine
  // Work that shows on the 101st look is caught; the limit is long enough
  // that a thread preempted between looks still gets there.
  Platform::TAdaptiveSpin Patient(1000000, &Platform::MonotonicMicroseconds, 2);
  std::atomic<int> Looks{0};
  EXPECT_TRUE(Patient.SpinFor([&] { return Looks.fetch_add(1, std::memory_order_relaxed) > 100; }));
}

}  // namespace
