// Faults inside the foreign code the plug-in calls, with the plug-in loaded as
// a host loads it: the host's callback, the transport library's five
// functions (the transport double) and the log client's three (its stand-in)
// fault, and each fault ends as the line of the call that met it. After it
// the next command and answer go through, Finalize_Plugin stops cleanly,
// every command sent is answered or logged as dropped, and a few dozen such
// cycles leave no thread, handle or thread-local slot behind: cycles of
// Init_Plugin to Finalize_Plugin in one load for the host's callback and the
// transport, load to unload for the log client (which lives with the load).
// Only the Windows builds contain faults: natively the fault cases skip and
// the plain cycle runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ForeignCall.h"
#include "platform/Libraries.h"
#include "platform/testing/ForeignFaultProbe.h"
#include "platform/Thread.h"
#include "platform/testing/ThreadSlots.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using namespace TestSupport;

namespace {

constexpr uint32_t OwnCode = 0xE0ABC001u;  // an application's exception code
// Address 16 lies in the first 64 KiB, which Windows never maps.
volatile uintptr_t FaultAddress = 16;

// What the host's callback does at its first call of a cycle.
enum class THostAction { Nothing, WriteToAddress16, RaiseOwnCode, RaiseAndHandleOwnCode };
const char* const HostActions[] = {"-", "write-to-16", "raise-own-code", "raise-and-handle"};

// When the transport double's fault is armed: before Init_Plugin, before
// the first command, or before Finalize_Plugin.
enum class TPhase { Start, Traffic, Stop };
const char* const Phases[] = {"start", "traffic", "stop"};

// A row of foreign_faults/cases.txt; an empty text is none.
struct TFaultCase {
  std::string Name;
  THostAction Host;
  std::string Entry;      // the transport entry that faults once
  TPhase When;
  std::string LogClient;  // the log client's setting
  std::string Line;       // the line that carries the guard's text
  std::string Fault;      // how the guard's text begins
  std::string Where;      // the row
  bool Faults() const { return Host != THostAction::Nothing || !Entry.empty() || !LogClient.empty(); }
};

// The place of Row's field among Names; a failure when it is none of them.
template <size_t N>
int NameIndex(const TDataRow& Row, size_t Field, const char* const (&Names)[N]) {
  const auto At = std::find(std::begin(Names), std::end(Names), Row.Text(Field));
  EXPECT_NE(At, std::end(Names)) << Row.Where() << ": no such name " << Row.Text(Field);
  return At == std::end(Names) ? 0 : static_cast<int>(At - std::begin(Names));
}

std::vector<TFaultCase> Cases() {
  std::vector<TFaultCase> Found;
  for (const TDataRow& Row : DataTable("foreign_faults/cases.txt")) {
    const auto Text = [&Row](size_t Field) { return Row.Text(Field) == "-" ? std::string() : Row.Text(Field); };
    Found.push_back({Row.Text(0), static_cast<THostAction>(NameIndex(Row, 1, HostActions)), Text(2),
                     static_cast<TPhase>(NameIndex(Row, 3, Phases)), Text(4), Text(5), Text(6),
                     Row.Where()});
  }
  return Found;
}

// gtest names a failing case by this.
void PrintTo(const TFaultCase& Case, std::ostream* Out) { *Out << Case.Name; }

// The host callback's action, run by the recording callback of the test host.
struct THostBehaviour {
  THostAction Action = THostAction::Nothing;
  std::atomic<int> Left{0};  // calls still to act in
  Platform::TOwnFrameCounts Counts;
};

void RaiseContinuable(void*) { Platform::RaiseStructuredException(OwnCode, true); }

void ActInsideCallback(const TCallbackCall&, void* Context) {
  auto& Behaviour = *static_cast<THostBehaviour*>(Context);
  if (Behaviour.Left.fetch_sub(1) <= 0) return;
  switch (Behaviour.Action) {
    case THostAction::WriteToAddress16:
      *reinterpret_cast<volatile int*>(FaultAddress) = 1;
      break;
    case THostAction::RaiseOwnCode:
      Platform::RaiseStructuredException(OwnCode, false);
      break;
    case THostAction::RaiseAndHandleOwnCode:
      Platform::CallInOwnFrame(&RaiseContinuable, nullptr, Behaviour.Counts);
      break;
    case THostAction::Nothing:
      break;
  }
}

bool StartsWith(const std::string& Text, const std::string& Prefix) { return Text.compare(0, Prefix.size(), Prefix) == 0; }

std::string Command(int32_t Session) { return Packed({"Operation=6", "UserData=u" + std::to_string(Session)}); }

std::string Answered(int32_t Session) { return "Send to SCENARIO [SessionACT=" + std::to_string(Session) + "]"; }

// Waits until a line starting with Prefix is among the log lines after the
// first Earlier ones; false on time-out.
bool WaitForLineAfter(const TPluginHost& Host, size_t Earlier, const std::string& Prefix) {
  const uint64_t Deadline = Platform::TickCountMs() + 5000;
  for (;;) {
    const std::vector<std::string> Lines = Host.LogLines();
    for (size_t At = Earlier; At < Lines.size(); ++At) {
      if (StartsWith(Lines[At], Prefix)) return true;
    }
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(5);
  }
}

// One cycle on a loaded plug-in: started (the fault armed by the case), two
// commands (the first meets a traffic fault), stopped; started again, one
// more command, stopped. Then the cycle's part of the log is read back.
void FaultCycle(const TFaultCase& Case, TTransportDouble& Double, TPluginHost& Host) {
  TPluginHost::ClearCalls();
  Double.Reset();
  Double.SetAutoEcho(true);
  Double.SetAutoDisconnect(true);  // the stops need not wait for the notice
  THostBehaviour Behaviour;
  Behaviour.Action = Case.Host;
  Behaviour.Left = 1;
  Behaviour.Counts.HandledCode = OwnCode;
  TPluginHost::SetInsideCallback(&ActInsideCallback, &Behaviour);
  const size_t Earlier = Host.LogLines().size();
  const auto Arm = [&](TPhase When) {
    if (!Case.Entry.empty() && Case.When == When) Double.SetFault(Case.Entry, 1);
  };
  int Sent = 0;
  Arm(TPhase::Start);
  Host.Init(9);
  if (Case.When != TPhase::Start) {
    ASSERT_TRUE(Double.FireConnect());
    Arm(TPhase::Traffic);
    Host.Command(1, Command(1));
    ++Sent;
    const bool TrafficFault = !Case.Line.empty() && Case.When == TPhase::Traffic;
    ASSERT_TRUE(WaitForLineAfter(Host, Earlier, TrafficFault ? Case.Line : Answered(1)));
    Host.Command(2, Command(2));
    ++Sent;
    ASSERT_TRUE(WaitForLineAfter(Host, Earlier, Answered(2)));
  }
  Arm(TPhase::Stop);
  Host.Finalize();
  Host.Init(9);
  ASSERT_TRUE(Double.FireConnect());
  Host.Command(3, Command(3));
  ++Sent;
  ASSERT_TRUE(WaitForLineAfter(Host, Earlier, Answered(3)));
  Host.Finalize();
  TPluginHost::SetInsideCallback(nullptr, nullptr);

  int Carrying = 0, Dropped = 0, Stopped = 0, Started = 0;
  bool FirstAnswered = false;
  const std::vector<std::string> Lines = Host.LogLines();
  for (size_t At = Earlier; At < Lines.size(); ++At) {
    const std::string& Line = Lines[At];
    if (!Case.Line.empty() && StartsWith(Line, Case.Line)) {
      ++Carrying;
      EXPECT_TRUE(StartsWith(Line.substr(Case.Line.size()), Case.Fault)) << Line;
    } else if (Line.find("EXCEPTION") != std::string::npos || Line.find(" fail: ") != std::string::npos ||
               StartsWith(Line, "FSClient Error")) {
      ADD_FAILURE() << "unexpected line: " << Line;
    }
    if (StartsWith(Line, "ProcessCommand [SessionACT=") && Line.find("] EXCEPTION: ") != std::string::npos) ++Dropped;
    if (StartsWith(Line, Answered(1))) FirstAnswered = true;
    Stopped += Line == "FS Client stopped." ? 1 : 0;
    Started += Line == "FS Client started" ? 1 : 0;
  }
  EXPECT_EQ(Carrying, Case.Line.empty() ? 0 : 1);
  EXPECT_EQ(Stopped, 2);
  EXPECT_EQ(Started, Case.When == TPhase::Start && !Case.Entry.empty() ? 1 : 2);
  // A callback that faulted was called: its request counts as answered, but
  // no "Send to SCENARIO" line follows it.
  const bool CallbackFaulted =
      Case.Host == THostAction::WriteToAddress16 || Case.Host == THostAction::RaiseOwnCode;
  EXPECT_EQ(FirstAnswered, Case.When != TPhase::Start && !CallbackFaulted && Case.Entry != "SendToServer");
  const int Answers = static_cast<int>(TPluginHost::Calls().size());
  EXPECT_EQ(Answers + Dropped, Sent) << "answered " << Answers << ", dropped " << Dropped;
  if (Case.Host == THostAction::RaiseAndHandleOwnCode) {
    EXPECT_EQ(Behaviour.Counts.Handled, 1);
  }
}

struct TCounts {
  int32_t Threads, Slots, Handles;
};
TCounts CountNow() { return {Platform::CountThreads(), Platform::CountFreeThreadSlots(), Platform::CountOpenHandles()}; }

class ForeignFaults : public ::testing::TestWithParam<TFaultCase> {};

}  // namespace

TEST_P(ForeignFaults, EndsAsTheLineOfItsCallAndLeavesNothingBehind) {
  const TFaultCase& Case = GetParam();
  SCOPED_TRACE(Case.Where);
  if (Case.Faults() && !Platform::ForeignFaultsContained()) {
    GTEST_SKIP() << "natively a fault cannot be caught: the guard calls straight through";
  }
  // The plug-in's log finds "LogClient.dll" by its bare name: the stand-in,
  // loaded here first by its path, is the one it gets.
  Platform::TLibrary LogClient = nullptr;
  if (!Case.LogClient.empty()) {
    LogClient = Platform::LoadLibraryByName(LogTestSupport::StandInLogClient(BinaryDir(), "logclient"));
    ASSERT_NE(LogClient, nullptr);
  }
  TTransportDouble Double;
  std::unique_ptr<TPluginHost> Host;
  const auto Cycle = [&] {
    if (!Host) Host = std::make_unique<TPluginHost>("", Case.LogClient);
    FaultCycle(Case, Double, *Host);
    if (!Case.LogClient.empty()) Host.reset();  // its initialisation and finalisation belong to the load
  };
  Cycle();  // checked, and the first cycle's lasting allocations off the count
  const TCounts Before = CountNow();
  constexpr int Cycles = 24;
  for (int Done = 0; Done < Cycles && !HasFailure(); ++Done) Cycle();
  Double.Reset();
  const TCounts After = CountNow();
  std::printf("%s: %d cycles, threads %d -> %d, free thread slots %d -> %d, handles %d -> %d\n", Case.Name.c_str(), Cycles,
              Before.Threads, After.Threads, Before.Slots, After.Slots, Before.Handles, After.Handles);
  EXPECT_EQ(After.Slots, Before.Slots);
  // Wine may close handles and end threads of its own start-up meanwhile:
  // fewer is fine.
  if (Before.Threads >= 0) {
    EXPECT_LE(After.Threads, Before.Threads);
  }
  if (Before.Handles >= 0) {
    EXPECT_LE(After.Handles, Before.Handles);
  }
  if (LogClient != nullptr) Platform::UnloadLibrary(LogClient);
}

INSTANTIATE_TEST_SUITE_P(EachForeignCall, ForeignFaults, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TFaultCase>& Info) { return Info.param.Name; });
