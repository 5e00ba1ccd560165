// Connection events, the requests a lost connection takes with it, and the
// idle keep-alive as the log and the transport double see them. The keep-alive cases wait out the real 10-second idle
// period of the plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Thread.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"
#include "standins/transport-double/DoubleControl.h"

using TestSupport::Packed;
using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;

namespace {

int Count(const std::vector<std::string>& Lines, const std::string& Text) {
  int Found = 0;
  for (const auto& Line : Lines) Found += Line == Text ? 1 : 0;
  return Found;
}

const char ConnectedLine[] = "FS Client connected to FileServer";
const char DisconnectedLine[] = "FS Client disconnected from FileServer";
// "Не удалось ... (" in code page 1251, for the operations used below.
const std::string ActivateText =
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (0.0.0.0:0,127.0.0.1:25001).";
const std::string SendText =
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE2\xFB\xF1\xEB\xE0\xF2\xFC \xE4\xE0\xED\xED\xFB\xE5 "
    "\xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0 (0.0.0.0:0,127.0.0.1:25001).";

constexpr uint32_t IdlePeriodMs = 10000;

}  // namespace

TEST(ConnectionEvents, ConnectAndLossAreLoggedOnce) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Double.FireDisconnect());  // already down: nothing more
  ASSERT_TRUE(Double.FireConnect());
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(Count(Log, ConnectedLine), 2);
  EXPECT_EQ(Count(Log, DisconnectedLine), 1);
}

TEST(ConnectionEvents, AttemptThatNeverCameUpLogsNoLoss) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireDisconnect());
  Host.Finalize();
  EXPECT_EQ(Count(Host.LogLines(), DisconnectedLine), 0);
}

TEST(ConnectionEvents, FinalizeWhileConnectedDisconnectsWithoutTheLossLine) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  Host.Finalize();
  EXPECT_GE(Double.CallCount("DisconnectFromServer"), 1);
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 1);
  EXPECT_EQ(Count(Host.LogLines(), DisconnectedLine), 0);
  EXPECT_EQ(Host.LogLines().back(), "Finalize_Plugin");
}

TEST(ConnectionEvents, ActivationFailureAtStartIsLoggedAndCancelled) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetResult("ConnectToServer", 3);
  TPluginHost Host;
  Host.Init(1);
  Host.Finalize();
  const auto Log = Host.LogLines();
  ASSERT_GE(Log.size(), 3u);
  EXPECT_EQ(Log[0], "Init_Plugin: Velmora");
  EXPECT_EQ(Log[1], "FSClient Error (TermID=100, Operate=2, Error=" + ActivateText + "(3))");
  EXPECT_EQ(Log[2], "FS Client started");
}

TEST(KeepAlive, IdleConnectedClientSendsAnEmptyMessage) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  const uint64_t Deadline = Platform::TickCountMs() + IdlePeriodMs + 5000;
  while (Double.CallCount("SendToServer") == 0 && Platform::TickCountMs() < Deadline) {
    Platform::SleepMs(50);
  }
  EXPECT_EQ(Double.LastSendSize(), 0);
  EXPECT_NE(Double.CallLog().find("SendToServer(100,null,0)"), std::string::npos)
      << Double.CallLog();
  Host.Finalize();
}

TEST(KeepAlive, NothingIsSentOrLoggedWhileDisconnected) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  Platform::SleepMs(IdlePeriodMs + 1500);
  Host.Finalize();
  EXPECT_EQ(Double.CallCount("SendToServer"), 0);
  const auto Log = Host.LogLines();
  const std::vector<std::string> Expected = {"Init_Plugin: Velmora", "FS Client started",
                                             "FS Client stopped.", "Finalize_Plugin"};
  EXPECT_EQ(Log, Expected);
}

TEST(KeepAlive, RefusedKeepAliveIsLoggedAndTheWorkerGoesOn) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoEcho(true);
  Double.SetResult("SendToServer", 3);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Host.WaitForLogLine("SEND KEEP ALIVE EXCEPTION: ", true, IdlePeriodMs + 5000));
  Double.SetResult("SendToServer", 0);
  Host.Command(3, Packed({"Operation=1"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(Count(Log, "FSClient Error (TermID=100, Operate=4, Error=" + SendText + "(3))"), 1);
  EXPECT_EQ(Count(Log, "SEND KEEP ALIVE EXCEPTION: " + SendText + " teINVALIDPARAMS(3)"), 1);
}

// ---------------------------------------------- requests lost with a connection

namespace {

const char LostReason[] = ": the command was sent; the connection was lost before an answer came";
const char StoppedReason[] = ": the command was sent; the relay stopped before an answer came";

// The line of a command sent and never answered: not a failure line.
std::string Dropped(int32_t SessionACT, const char* Reason) {
  return "No answer [SessionACT=" + std::to_string(SessionACT) + "]" + Reason;
}

// The lines that end a command without an answer: failures and "No answer".
std::vector<std::string> DroppedLines(const std::vector<std::string>& Log) {
  std::vector<std::string> Found;
  for (const auto& Line : Log) {
    if (Line.rfind("ProcessCommand [", 0) == 0 || Line.rfind("No answer [", 0) == 0) {
      Found.push_back(Line);
    }
  }
  return Found;
}

// The answer the server gives to a request of SessionACT.
std::string AnswerFor(int32_t SessionACT) {
  const std::string Item = "UserData=Sess=" + std::to_string(SessionACT);
  return std::string("\x06\x00", 2) + Item + std::string(1, '\0');
}

// Sends a command and waits until the double has taken it.
void SendAndWait(TTransportDouble& Double, TPluginHost& Host, int32_t SessionACT) {
  const int32_t Before = Double.CallCount("SendToServer");
  Host.Command(SessionACT, Packed({"Operation=6"}));
  const uint64_t Deadline = Platform::TickCountMs() + 5000;
  while (Double.CallCount("SendToServer") == Before && Platform::TickCountMs() < Deadline) {
    Platform::SleepMs(2);
  }
  ASSERT_GT(Double.CallCount("SendToServer"), Before);
}

// Holds the worker inside the host callback until released.
struct TGate {
  std::atomic<bool> Entered{false};
  std::atomic<bool> Open{false};
};
void HoldWorker(const TestSupport::TCallbackCall&, void* Context) {
  auto* Gate = static_cast<TGate*>(Context);
  Gate->Entered = true;
  while (!Gate->Open) Platform::SleepMs(1);
}

}  // namespace

TEST(RequestAccounting, LossDropsEachUnansweredRequestOnceAfterTheAnswersBeforeIt) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  for (int32_t Session : {1, 2, 1}) SendAndWait(Double, Host, Session);
  ASSERT_TRUE(Double.FireReceive(AnswerFor(1)));  // answers the first request
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Host.WaitForLogLine(Dropped(1, LostReason)));
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(DroppedLines(Log),
            (std::vector<std::string>{Dropped(2, LostReason), Dropped(1, LostReason)}));
  // The host had its one answer before the loss was handled; the loss line
  // comes first, then the drops.
  ASSERT_EQ(TPluginHost::Calls().size(), 1u);
  EXPECT_EQ(TPluginHost::Calls().front().SessionACT, 1);
  const auto Answered = std::find(Log.begin(), Log.end(),
                                  "Send to SCENARIO [SessionACT=1], Params=Error=0,Operation=6");
  const auto Lost = std::find(Log.begin(), Log.end(), DisconnectedLine);
  const auto FirstDrop = std::find(Log.begin(), Log.end(), Dropped(2, LostReason));
  EXPECT_LT(Answered, FirstDrop);
  EXPECT_LT(Lost, FirstDrop);
}

TEST(RequestAccounting, RequestSentAfterAReconnectSurvivesTheEarlierLoss) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  SendAndWait(Double, Host, 1);  // on the first connection
  // Hold the worker in a callback; meanwhile session 2's command is queued,
  // the connection is lost and comes back. The worker then sends session 2's
  // request on the new connection before it reaches the loss.
  TGate Gate;
  TPluginHost::SetInsideCallback(&HoldWorker, &Gate);
  ASSERT_TRUE(Double.FireReceive(std::string("\x01\x00", 2)));  // no session: matches nothing
  while (!Gate.Entered) Platform::SleepMs(1);
  Host.Command(2, Packed({"Operation=6"}));
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Double.FireConnect());
  Gate.Open = true;
  ASSERT_TRUE(Host.WaitForLogLine(Dropped(1, LostReason)));
  TPluginHost::SetInsideCallback(nullptr, nullptr);
  ASSERT_TRUE(Double.FireReceive(AnswerFor(2)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(2));
  Host.Finalize();
  EXPECT_EQ(Double.CallCount("SendToServer"), 2);
  EXPECT_EQ(DroppedLines(Host.LogLines()), std::vector<std::string>{Dropped(1, LostReason)});
  EXPECT_EQ(TPluginHost::Calls().back().SessionACT, 2);
}

TEST(RequestAccounting, FinalizeDropsWhatIsStillAwaitedBeforeTheStopLine) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  for (int32_t Session : {4, -2, 4}) SendAndWait(Double, Host, Session);
  ASSERT_TRUE(Double.FireReceive(AnswerFor(-2)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(DroppedLines(Log), (std::vector<std::string>{Dropped(4, StoppedReason),
                                                         Dropped(4, StoppedReason)}));
  ASSERT_GE(Log.size(), 4u);
  EXPECT_EQ(Log[Log.size() - 3], Dropped(4, StoppedReason));
  EXPECT_EQ(Log[Log.size() - 2], "FS Client stopped.");
}

TEST(RequestAccounting, FailedSendIsDroppedOnceAndNotKept) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  Double.SetResult("SendToServer", 3);
  Host.Command(8, Packed({"Operation=6"}));
  ASSERT_TRUE(Host.WaitForLogLine("ProcessCommand [SessionACT=8] EXCEPTION: ", true));
  ASSERT_TRUE(Double.FireDisconnect());
  Host.Finalize();
  EXPECT_EQ(DroppedLines(Host.LogLines()).size(), 1u);
}

// The system error of a send refused with code 1 is the one the transport
// library left on the thread, not a stale code of the plug-in's own (making
// its log folder leaves 183, "already exists").
TEST(RequestAccounting, FailedSendNamesTheTransportsOwnSystemError) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  Double.SetResult("SendToServer", 1, Platform::ErrorSharingViolation);
  Host.Command(9, Packed({"Operation=6"}));
  ASSERT_TRUE(Host.WaitForLogLine("ProcessCommand [SessionACT=9] EXCEPTION: ", true));
  Host.Finalize();
  const auto Lines = DroppedLines(Host.LogLines());
  ASSERT_EQ(Lines.size(), 1u);
  const std::string Expected =
      "ProcessCommand [SessionACT=9] EXCEPTION: " + SendText + "Win32 Error: ";
  EXPECT_EQ(Lines[0].substr(0, Expected.size()), Expected);
  EXPECT_EQ(Lines[0].substr(Lines[0].size() - 4), "(32)") << Lines[0];
}

// No connection ever came up and 30 commands are queued: once the stop has
// begun every send fails at once, as after a deactivation, instead of each
// waiting its second for a connection; each command still ends as its one
// dropped line.
TEST(RequestAccounting, FinalizeWithTheServerUnreachableDropsEachQueuedCommandAtOnce) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  constexpr int32_t Commands = 30;
  for (int32_t Session = 1; Session <= Commands; ++Session) {
    Host.Command(Session, Packed({"Operation=6"}));
  }
  const uint64_t Start = Platform::TickCountMs();
  Host.Finalize();
  const uint64_t Ms = Platform::TickCountMs() - Start;
  EXPECT_LT(Ms, 2500u) << "a queued command waited for the connection";
  RecordProperty("finalize_ms", static_cast<int>(Ms));
  const auto Dropped = DroppedLines(Host.LogLines());
  ASSERT_EQ(Dropped.size(), static_cast<size_t>(Commands));
  for (int32_t Session = 1; Session <= Commands; ++Session) {
    const std::string Prefix = "ProcessCommand [SessionACT=" + std::to_string(Session) + "]";
    EXPECT_EQ(Dropped[Session - 1].rfind(Prefix, 0), 0u) << Dropped[Session - 1];
  }
  // The one in hand when the stop began may have waited for its connection;
  // every later one failed as a send to a connection being taken down.
  EXPECT_EQ(Dropped.back(), Dropped.back().substr(0, Dropped.back().find(']') + 1) +
                                " EXCEPTION: " + SendText + " teDISCONNECT(8)");
  EXPECT_EQ(TPluginHost::Calls().size(), 0u);
}

TEST(RequestAccounting, NullCallbackKeepsNothingAndLogsNoDrops) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1, /*NullCallback=*/true);
  ASSERT_TRUE(Double.FireConnect());
  SendAndWait(Double, Host, 1);
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Double.FireConnect());
  SendAndWait(Double, Host, 2);
  Host.Finalize();
  EXPECT_TRUE(DroppedLines(Host.LogLines()).empty());
}

TEST(RequestAccounting, AnswerWithoutASessionSettlesNoRequestOfSessionMinusOne) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  SendAndWait(Double, Host, -1);
  ASSERT_TRUE(Double.FireReceive(std::string("\x06\x00Size=1\0", 9)));  // no UserData
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  EXPECT_EQ(TPluginHost::Calls().front().SessionACT, -1);
  ASSERT_TRUE(Double.FireReceive(AnswerFor(-1)));  // the request's own answer
  ASSERT_TRUE(TPluginHost::WaitForCalls(2));
  SendAndWait(Double, Host, -1);
  ASSERT_TRUE(Double.FireReceive(std::string("\x06\x00UserData=Sess=x\0", 18)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(3));
  Host.Finalize();
  EXPECT_EQ(DroppedLines(Host.LogLines()), std::vector<std::string>{Dropped(-1, StoppedReason)});
}

// ----------------------------------------- transport callbacks after the teardown

namespace {

// Init, connect, Finalize_Plugin, then the double's careless callbacks end;
// LATE_CALLBACK_CYCLES raises the count for long runs. Stream: a receive
// stream runs across the teardown; otherwise all four callbacks come 20 ms
// after each destroy. The host must hear nothing once Finalize_Plugin
// returned. The cycles run and the late-call lines of the log.
struct TTeardown {
  int Cycles = 0;
  int LateLines = 0;
};
TTeardown TeardownCycles(bool Stream) {
  const char* Wanted = std::getenv("LATE_CALLBACK_CYCLES");
  const int Cycles = Wanted != nullptr && std::atoi(Wanted) > 0 ? std::atoi(Wanted) : 20;
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  if (!Stream) {
    Double.SetLateNotices(
        DoubleLateConnect | DoubleLateDisconnect | DoubleLateReceive | DoubleLateAuxReceive, 20);
  }
  TPluginHost Host;
  for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
    Host.Init(1);
    EXPECT_TRUE(Double.FireConnect());
    if (Stream) {
      EXPECT_TRUE(Double.StreamReceive(AnswerFor(1), 2));
      Platform::SleepMs(3);  // a few answers reach the host first
    }
    Host.Finalize();
    const size_t Heard = TPluginHost::Calls().size();
    Double.EndStrays();
    if (TPluginHost::Calls().size() != Heard) {
      ADD_FAILURE() << "the host was called after Finalize_Plugin, cycle " << Cycle;
      break;
    }
  }
  TTeardown Result{Cycles, 0};
  for (const auto& Line : Host.LogLines()) {
    Result.LateLines += Line.find(" from the transport after the connection was destroyed; "
                                  "ignored") != std::string::npos;
  }
  std::printf("%d cycles, %d late-call lines\n", Cycles, Result.LateLines);
  return Result;
}

}  // namespace

// Regression: a callback 200 ms after DestroyTermination read the freed client
// (the host died, or the transport's thread hung in a freed lock). Each late
// callback returns at once; one line per connection says so.
TEST(LateCallbacks, FourCallbacksAfterEachDestroyReachNothing) {
  const TTeardown Run = TeardownCycles(false);
  EXPECT_EQ(Run.LateLines, Run.Cycles) << "one line per destroyed connection";
}

// A receive in flight while Finalize_Plugin takes the client down: whatever
// it finds (the handler bound, unbound, the key renewed, the client freed),
// nothing reaches freed memory or the host afterwards.
TEST(LateCallbacks, ReceiveInFlightAcrossFinalizeReachesNothingFreed) {
  const TTeardown Run = TeardownCycles(true);
  EXPECT_GT(Run.LateLines, 0) << "no receive came after the destroy";
  EXPECT_LE(Run.LateLines, Run.Cycles);
}
