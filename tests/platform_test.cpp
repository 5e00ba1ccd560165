// The platform interface's threads and kernel objects where threads race (the
// rest is data: tests/cases/platform, "kind platform"), run natively against
// the posix emulation and under Wine against Win32.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/testing/WakeFlag.h"

using namespace Platform;

namespace {

struct TRunRecord {
  std::atomic<bool> Ran{false};
  std::atomic<uint32_t> ThreadId{0};
};
void RecordRun(void* Context) {
  auto& Record = *static_cast<TRunRecord*>(Context);
  Record.ThreadId = CurrentThreadId();
  Record.Ran = true;
}

}  // namespace

TEST(PlatformCriticalSection, CountsExactlyUnderContention) {
  struct TShared {
    TCriticalSection Lock;
    int Counter = 0;  // guarded by Lock
  } Shared;
  auto Body = [](void* Context) {
    auto& S = *static_cast<TShared*>(Context);
    for (int I = 0; I < 5000; ++I) {
      TLockGuard Guard(S.Lock);
      ++S.Counter;
    }
  };
  TThread Threads[3];
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.Create(Body, &Shared));
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.Start());
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.WaitForEnd());
  EXPECT_EQ(Shared.Counter, 15000);
}

// A lost wake hangs the test (the suite's time-out ends it); a wake that
// touched the flag after its waiter freed it shows under the sanitizers.
TEST(PlatformWakeFlag, KeepsAnEarlyWakeLosesNoneAndMayBeFreedByItsWaiter) {
  TWakeFlag Early;
  Early.Wake();
  Early.Wake();
  Early.Wait();  // the wake was kept

  struct TPair {
    TWakeFlag Ping, Pong;
    int Rounds = 20000;
  } Pair;
  TThread Echo;
  ASSERT_TRUE(Echo.Create(
      [](void* Context) {
        auto& P = *static_cast<TPair*>(Context);
        for (int I = 0; I < P.Rounds; ++I) {
          P.Ping.Wait();
          P.Pong.Wake();
        }
      },
      &Pair));
  ASSERT_TRUE(Echo.Start());
  for (int I = 0; I < Pair.Rounds; ++I) {
    Pair.Ping.Wake();
    Pair.Pong.Wait();
  }
  EXPECT_TRUE(Echo.WaitForEnd());

  for (int I = 0; I < 200; ++I) {
    auto* Flag = new TWakeFlag;
    TThread Waker;
    ASSERT_TRUE(Waker.Create([](void* Context) { static_cast<TWakeFlag*>(Context)->Wake(); }, Flag));
    ASSERT_TRUE(Waker.Start());
    Flag->Wait();
    delete Flag;
    EXPECT_TRUE(Waker.WaitForEnd());
  }
}

TEST(PlatformThread, CreatedSuspendedRunsOnlyAfterStart) {
  TRunRecord Record;
  TThread Thread;
  ASSERT_TRUE(Thread.Create(&RecordRun, &Record));
  EXPECT_NE(Thread.Id(), 0u);
  SleepMs(100);
  EXPECT_FALSE(Record.Ran);
  ASSERT_TRUE(Thread.Start());
  ASSERT_TRUE(Thread.WaitForEnd());
  EXPECT_TRUE(Record.Ran);
  EXPECT_EQ(Record.ThreadId, Thread.Id());
  EXPECT_NE(Thread.Id(), CurrentThreadId());
  EXPECT_EQ(CurrentThreadId(), CurrentThreadId());  // one id for the whole life of a thread
  EXPECT_TRUE(Thread.WaitForEnd());  // an ended thread is waited for at once
}

TEST(PlatformThread, NeverStartedThreadIsDestroyedWithoutRunning) {
  TRunRecord Record;
  {
    TThread Thread;
    ASSERT_TRUE(Thread.Create(&RecordRun, &Record));
  }
  SleepMs(50);
  EXPECT_FALSE(Record.Ran);
}
