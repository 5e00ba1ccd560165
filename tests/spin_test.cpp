// The adaptive spin: when it spins, when it rests and what arms it again,
// driven by a fake clock; then one spin on the system's own clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <sstream>
#include <string>

#include "platform/AdaptiveSpin.h"
#include "platform/Thread.h"

namespace {

// Every read moves the fake clock on by 1 µs, so a spin always ends.
uint64_t FakeNow = 0;
uint64_t FakeClock() { return ++FakeNow; }

// Steps: "hit" (work shows at the third look: true), "miss" (none: false
// after at least the limit), "skip" (false at once, work not looked at),
// "wake:N" / "timeout:N" (a wait of N µs ending with / without work), "idle".
// A wait's kind (short or long) is what the step before it found.
struct TCase {
  const char* Name;
  uint32_t LimitUs;
  uint32_t Processors;
  const char* Steps;
};

const TCase Cases[] = {
    {"four misses in a row rest", 30, 2, "miss miss miss miss skip skip"},
    {"a hit starts the count again", 30, 2, "miss miss miss hit miss miss miss miss miss skip"},
    {"a wake within the limit arms again", 30, 2, "miss miss miss miss skip wake:20 miss hit"},
    {"a wake at the limit arms again", 30, 2, "miss miss miss miss skip wake:30 miss hit"},
    {"a wake past the limit does not", 30, 2, "miss miss miss miss skip wake:31 skip"},
    {"a time-out keeps resting", 30, 2, "miss miss miss miss skip timeout:5 skip"},
    {"idle rests both kinds", 30, 2, "hit idle skip timeout:1 skip wake:10 skip wake:10 hit"},
    {"alternating work spins only where it pays", 30, 2,
     "hit miss hit miss hit miss hit miss hit skip wake:90 hit skip"},
    {"a wake while armed changes nothing", 30, 2, "miss miss miss wake:5 miss skip"},
    {"one processor never spins", 30, 1, "skip wake:1 skip skip"},
    {"a limit of 0 never spins", 0, 4, "skip wake:0 skip"},
};

class AdaptiveSpinCase : public testing::TestWithParam<TCase> {};

TEST_P(AdaptiveSpinCase, FollowsItsSteps) {
  const TCase& C = GetParam();
  Platform::TAdaptiveSpin Spin(C.LimitUs, &FakeClock, C.Processors);
  std::istringstream Steps(C.Steps);
  std::string Step;
  for (int At = 0; Steps >> Step; ++At) {
    SCOPED_TRACE(Step + " at step " + std::to_string(At));
    const std::string Kind = Step.substr(0, Step.find(':'));
    if (Kind == "wake" || Kind == "timeout") {
      Spin.SleepBegins();
      FakeNow += std::stoul(Step.substr(Step.find(':') + 1)) - 1;  // SleepEnds reads once more
      Spin.SleepEnds(Kind == "wake");
      continue;
    }
    if (Kind == "idle") {
      Spin.Rest();
      continue;
    }
    int Looks = 0;
    const uint64_t Start = FakeNow;
    const bool Found = Spin.SpinFor([&] { return ++Looks >= 3 && Kind == "hit"; });
    EXPECT_EQ(Found, Kind == "hit");
    if (Kind == "skip") {
      EXPECT_EQ(Looks, 0);
    } else if (Kind == "miss") {
      // The limit, and not much longer: the clock is read once per few
      // dozen looks.
      EXPECT_LE(C.LimitUs, FakeNow - Start - 1);
      EXPECT_GE(C.LimitUs + 2, FakeNow - Start);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, AdaptiveSpinCase, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<TCase>& Info) {
                           std::string Name;
                           for (const char* P = Info.param.Name; *P != '\0'; ++P) {
                             if (std::isalnum(static_cast<unsigned char>(*P))) Name += *P;
                           }
                           return Name;
                         });

// On the system's clock: a miss ends near its limit, and work that another
// thread sets during the spin is seen.
TEST(AdaptiveSpin, SpinsOnTheSystemClock) {
  ASSERT_GE(Platform::ProcessorCount(), 1u);
  Platform::TAdaptiveSpin Spin(2000, &Platform::MonotonicMicroseconds, 2);
  const uint64_t Start = Platform::MonotonicMicroseconds();
  EXPECT_FALSE(Spin.SpinFor([] { return false; }));
  const uint64_t Spun = Platform::MonotonicMicroseconds() - Start;
  EXPECT_GE(Spun, 2000u);
  EXPECT_LT(Spun, 2000000u);  // bounded, even on a loaded machine
  std::atomic<int> Flag{0};
  EXPECT_TRUE(Spin.SpinFor([&] { return Flag.fetch_add(1, std::memory_order_relaxed) > 100; }));
}

}  // namespace
