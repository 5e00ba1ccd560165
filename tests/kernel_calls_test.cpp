// Kernel-object calls per round trip: the test build of the plug-in
// (bin/seam/) relays commands to the transport double, which echoes each from
// its own thread, and the seam counts every call of the plug-in that is a
// kernel transition on Windows (semaphore releases and waits, event waits,
// event changes, contended critical-section enters). Run with -V (or
// --output-on-failure) to see the figures; the benchmark table in
// docs/performance.md quotes them.
//
// Only the bound that holds whatever the scheduling is checked: a record
// costs at most one release and one wait (a wake-up of the sleeping worker),
// and a send on an established connection costs nothing. How far below the
// bound a run stays depends on how often the worker finds its queue empty,
// so the figures are printed, not compared.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/FaultSeam.h"
#include "platform/Sync.h"
#include "tests/support/PluginHost.h"
#include "tests/support/PluginLibrary.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using namespace TestSupport;
using Platform::TCountedCall;
using Platform::TFaultOperation;
namespace Seam = Platform::FaultSeam;

namespace {

std::atomic<uint64_t> Answered{0};
std::atomic<uint64_t> WakeAt{0};
Platform::TSemaphore& AnswerWake() {
  static Platform::TSemaphore* Wake = new Platform::TSemaphore(0, 1 << 30);  // lives on
  return *Wake;
}
// On the plug-in's worker: counts, and wakes the test thread only at the
// answer it waits for.
void VELMORA_STDCALL CountAnswer(int32_t, const char*, const void*, int32_t, uintptr_t) {
  if (Answered.fetch_add(1) + 1 == WakeAt.load()) AnswerWake().Release(1);
}
void WaitAnswered(uint64_t Count) {
  WakeAt.store(Count);
  while (Answered.load() < Count) AnswerWake().Wait(1000);
}

// The seam's counts of the calls that are kernel transitions on Windows.
struct TKernelCalls {
  uint64_t Release, Wait, EventWait, Either, Enter, EventChange;
  uint64_t Total() const { return Release + Wait + EventWait + Either + Enter + EventChange; }
  static TKernelCalls Now() {
    return {Seam::Calls(TFaultOperation::SemaphoreRelease), Seam::Calls(TFaultOperation::SemaphoreWait),
            Seam::Calls(TFaultOperation::EventWait), Seam::Calls(TFaultOperation::EventWaitEither),
            Seam::Counted(TCountedCall::ContendedEnter),
            Seam::Counted(TCountedCall::EventSet) + Seam::Counted(TCountedCall::EventReset)};
  }
};

struct TCase {
  const char* Name;
  int InFlight;   // commands unanswered at most; the host tops up at half
  int RoundTrips;
  int32_t PollMicroseconds;  // the double's polling before it sleeps (benchmarks use it)
};

const TCase Cases[] = {
    {"one in flight", 1, 400, 0},
    {"steady load, 64 in flight", 64, 4000, 0},
    {"64 in flight, the double polling", 64, 4000, 200},
};

// The test build of the plug-in, copied under a name of its own, with the
// seam reset and the log's clock fixed on a day of its own, whose folder goes
// when the run ends (after the plug-in, declared later, is unloaded).
class TSeamRun {
public:
  TSeamRun(const std::string& Name, int Day)
      : Source(BuiltPluginPath({BinaryDir() + "seam\\"})),
        Copy(Source, Folder.Path() + Name + Source.substr(Source.rfind('.'))),
        DayFolder(BinaryDir() + "Logs\\2031_07_" + std::to_string(Day)) {
    Platform::TDateTime Instant;
    Instant.Year = 2031, Instant.Month = 7, Instant.Day = Day, Instant.Hour = 10;
    Seam::Reset();
    Seam::SetClockFixed(Instant);
  }
  ~TSeamRun() {
    Seam::Reset();
    RemoveTree(DayFolder);
  }
  const std::string& PluginPath() const { return Copy.Path(); }

private:
  const std::string Source;
  TScratchDir Folder;
  TPluginCopy Copy;
  const std::string DayFolder;
};

}  // namespace

TEST(KernelCalls, PerRoundTripAtMostOneWakeUpPerRecord) {
  TSeamRun Run("VelmoraCalls", 16);
  {
    TTransportDouble Double;
    Double.SetAutoEcho(true);
    Double.SetAutoDisconnect(true);  // Finalize_Plugin gets its notice, not its 5 s bound
    Double.SetRecordCalls(false);
    TPluginLibrary Plugin(Run.PluginPath());
    Plugin.Init(&CountAnswer, 1);
    ASSERT_TRUE(Double.FireConnect());
    const std::string Command = Packed({"Operation=6", "UserData=" + std::string(100, 'x')});
    for (const TCase& Case : Cases) {
      SCOPED_TRACE(Case.Name);
      Double.SetPolling(Case.PollMicroseconds);
      const uint64_t Before = Answered.load();
      // A first tenth settles the worker and the double; the count covers the rest.
      const int Warm = Case.RoundTrips / 10;
      TKernelCalls Start{};
      for (int I = 0; I < Case.RoundTrips; ++I) {
        if (I == Warm) {
          WaitAnswered(Before + static_cast<uint64_t>(Warm));
          Start = TKernelCalls::Now();
        }
        const uint64_t Sent = static_cast<uint64_t>(I);
        if (Sent - (Answered.load() - Before) >= static_cast<uint64_t>(Case.InFlight)) {
          WaitAnswered(Before + Sent - static_cast<uint64_t>(Case.InFlight / 2));
        }
        ASSERT_EQ(0, Plugin.Command(1, Command.data(), static_cast<uint32_t>(Command.size())));
      }
      WaitAnswered(Before + static_cast<uint64_t>(Case.RoundTrips));
      const TKernelCalls End = TKernelCalls::Now();
      const double N = Case.RoundTrips - Warm;
      const auto Per = [N](uint64_t A, uint64_t B) { return static_cast<double>(B - A) / N; };
      const double Total = Per(Start.Total(), End.Total());
      std::printf("kernel calls per round trip, %s: %.2f (semaphore release %.2f, wait %.2f; "
                  "event wait %.2f, wait on either %.2f, set/reset %.2f; contended enter %.2f)\n",
                  Case.Name, Total, Per(Start.Release, End.Release), Per(Start.Wait, End.Wait),
                  Per(Start.EventWait, End.EventWait), Per(Start.Either, End.Either),
                  Per(Start.EventChange, End.EventChange), Per(Start.Enter, End.Enter));
      // Two records per round trip (the command, the answer): at most one
      // wake-up each, nothing for the send. The slack covers a rare idle
      // wait that ends just as a record comes.
      EXPECT_LE(Per(Start.Release, End.Release), 2.0);
      EXPECT_LE(Per(Start.Wait, End.Wait), 2.1);
      EXPECT_EQ(0u, End.Either - Start.Either);
    }
    Plugin.Finalize();
  }
}
