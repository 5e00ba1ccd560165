// The relay manager inside this program, with limits of the tests' own: what
// the worker's queue may hold of server messages (drops, one line a burst,
// commands still flowing), the stop's time budget for queued work, and a
// worker whose stop record cannot be queued or whose end cannot be waited
// for. The transport double stands in for the transport library; the log
// goes to a scratch folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "log/ProcessLog.h"
#include "platform/Thread.h"
#include "relay/MailerManager.h"
#include "relay/TaskHandler.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::TTransportDouble;
using TestSupport::WaitUntil;

namespace {

// The host's side: counts the calls, holds the N-th call until Allowed >= N,
// and may take a while over each.
struct THost {
  std::atomic<int> Calls{0};
  std::atomic<int> Allowed{INT_MAX};
  std::atomic<uint32_t> EachMs{0};
  std::atomic<uint64_t> LastCallTick{0};
};
THost Host;

void VELMORA_STDCALL Callback(int32_t, const char*, const void*, int32_t, uintptr_t) {
  Host.LastCallTick = Platform::TickCountMs();
  const int Call = ++Host.Calls;
  while (Call > Host.Allowed.load()) Platform::SleepMs(1);
  if (const uint32_t Ms = Host.EachMs.load()) Platform::SleepMs(Ms);
}

// An answer of session 1 with Padding bytes of data: 36 + Padding bytes.
std::string Answer(size_t Padding = 0) {
  return std::string("\x06\x00UserData=Sess=1,SrcUserData=f\0", 33) + "D=" +
         std::string(Padding, 'x') + '\0';
}

const char StopFail[] = "ERR: FS Client worker stop fail: ";
const char Stopped[] = "FS Client stopped.";

// A manager with a connected double and its log in a folder of its own.
struct TRig {
  TestSupport::TScratchDir Dir;
  TTransportDouble Double;
  TMailerManager* Manager = nullptr;

  explicit TRig(const TRelayLimits& Limits) {
    Host.Calls = 0;
    Host.Allowed = INT_MAX;
    Host.EachMs = 0;
    CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
    Double.SetAutoDisconnect(true);
    Manager = new TMailerManager(&Callback, 7, TMailerManager::DefaultIdleTimeout, Limits);
    EXPECT_TRUE(Double.FireConnect());
  }
  ~TRig() {
    TTaskHandler::SetTestFaults({});
    Host.Allowed = INT_MAX;
    if (Manager != nullptr) TMailerManager::Release(Manager);
    DoneProcessLog();
  }
  // Stops the manager; true when it was freed. Milliseconds taken in Ms.
  bool Release(uint64_t* Ms = nullptr) {
    const uint64_t Start = Platform::TickCountMs();
    const bool Freed = TMailerManager::Release(Manager);
    if (Ms != nullptr) *Ms = Platform::TickCountMs() - Start;
    if (Freed) Manager = nullptr;
    return Freed;
  }
  void Command(int32_t Session) {
    static const char Packed[] = "Operation=6\0UserData=c";
    Manager->QueueCommand(Session, Packed, sizeof Packed);
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> Texts;
    for (const auto& Line : LogTestSupport::LinesOfAllFilesUnder(Dir.Path())) {
      Texts.push_back(Line.substr(13));
    }
    return Texts;
  }
  std::vector<std::string> LinesStartingWith(const std::string& Prefix) const {
    std::vector<std::string> Found;
    for (const auto& Line : Lines()) {
      if (Line.compare(0, Prefix.size(), Prefix) == 0) Found.push_back(Line);
    }
    return Found;
  }
  bool WaitForLine(const std::string& Prefix) const {
    return WaitUntil([&] { return !LinesStartingWith(Prefix).empty(); });
  }
};

std::string QueueFullLine(uint32_t Messages, size_t Bytes, uint32_t Dropped) {
  return "OnReceive response EXCEPTION: worker queue full (" + std::to_string(Messages) +
         " server messages or " + std::to_string(Bytes) + " bytes); " + std::to_string(Dropped) +
         " server messages dropped";
}

// Runs Release on a thread of its own, so that the test can hold the worker
// while the stop goes on.
struct TReleaser {
  TRig* Rig = nullptr;
  bool Freed = false;
  uint64_t Ms = 0;
  std::atomic<uint64_t> StartTick{0};
  Platform::TThread Thread;
  explicit TReleaser(TRig& Target) : Rig(&Target) {
    EXPECT_TRUE(Thread.Create([](void* Self) {
      auto* This = static_cast<TReleaser*>(Self);
      This->StartTick = Platform::TickCountMs();
      This->Freed = This->Rig->Release(&This->Ms);
    }, this));
    EXPECT_TRUE(Thread.Start());
  }
  void Join() { EXPECT_TRUE(Thread.WaitForEnd()); }
};

}  // namespace

// ---------------------------------------------------- server messages queued

// The worker is held inside the first callback while a flood arrives: the
// queue keeps what its limits allow (the message in hand counts), drops the
// rest, and the burst ends as one line once the worker has drained it.
TEST(MessageQueueLimit, FloodBeyondEitherLimitIsDroppedAndCountedInOneLine) {
  struct TCase {
    const char* What;
    uint32_t Messages;
    size_t BytesInRecords;  // the byte limit as a number of whole records
    size_t Padding;
    int Flood;
    int Kept;
    int Singles;  // then one at a time, each handled before the next
  };
  const TCase Cases[] = {
      {"by count", 100, 1000, 0, 250, 100, 0},
      {"by bytes", 1000, 10, 2000, 30, 10, 0},
      {"small records by bytes", 1000, 10, 0, 30, 10, 100},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.What);
    const std::string Message = Answer(Case.Padding);
    const size_t Record = TaskHeaderSize + Message.size();
    TRelayLimits Limits;
    Limits.QueuedMessages = Case.Messages;
    Limits.QueuedMessageBytes = Case.BytesInRecords * Record;
    TRig Rig(Limits);
    Host.Allowed = 0;
    ASSERT_TRUE(Rig.Double.FloodReceive(Message, Case.Flood));
    ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
    Host.Allowed = INT_MAX;
    ASSERT_TRUE(WaitUntil([&] { return Host.Calls.load() == Case.Kept; }));
    const std::string Line =
        QueueFullLine(Limits.QueuedMessages, Limits.QueuedMessageBytes, Case.Flood - Case.Kept);
    ASSERT_TRUE(Rig.WaitForLine(Line));
    // Commands flow on, and later messages are taken again.
    Rig.Double.SetAutoEcho(true);
    Rig.Command(5);
    ASSERT_TRUE(Rig.Double.FloodReceive(Message, 3));
    ASSERT_TRUE(WaitUntil([&] { return Host.Calls.load() == Case.Kept + 4; }));
    // Every handled message gave back its whole record: far more of them
    // than the limits hold pass an all but empty queue.
    const auto Drained = [&] {
      return Rig.Manager->QueuedMessageCount() == 0 && Rig.Manager->QueuedByteCount() == 0;
    };
    ASSERT_TRUE(WaitUntil(Drained));
    for (int Single = 1; Single <= Case.Singles; ++Single) {
      ASSERT_TRUE(Rig.Double.FireReceive(Message));
      ASSERT_TRUE(WaitUntil([&] { return Rig.Manager->QueuedMessageCount() == 0; }));
    }
    EXPECT_TRUE(WaitUntil(Drained));
    EXPECT_EQ(Host.Calls.load(), Case.Kept + 4 + Case.Singles);
    ASSERT_TRUE(Rig.Release());
    EXPECT_EQ(Rig.LinesStartingWith("OnReceive response EXCEPTION: "),
              std::vector<std::string>{Line});
    EXPECT_TRUE(Rig.LinesStartingWith("ProcessCommand [").empty());
  }
}

// Once full, the queue takes messages again only below half of its limits:
// a flood that goes on makes few bursts, each one line, however long it is.
TEST(MessageQueueLimit, BurstEndsOnlyOnceTheQueueHasDrainedToHalf) {
  TRelayLimits Limits;
  Limits.QueuedMessages = 100;
  TRig Rig(Limits);
  const std::string Message = Answer();
  Host.Allowed = 0;
  ASSERT_TRUE(Rig.Double.FloodReceive(Message, 250));  // 100 kept, 150 dropped
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
  Host.Allowed = 41;  // 59 left, the one in hand counted: above half
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 42; }));
  ASSERT_TRUE(Rig.Double.FloodReceive(Message, 5));  // still dropped
  EXPECT_TRUE(Rig.LinesStartingWith("OnReceive response EXCEPTION: ").empty());
  Host.Allowed = 61;  // 39 left: the burst is over
  const std::string Line = QueueFullLine(100, Limits.QueuedMessageBytes, 155);
  ASSERT_TRUE(Rig.WaitForLine(Line));
  ASSERT_TRUE(Rig.Double.FloodReceive(Message, 5));  // taken again
  Host.Allowed = INT_MAX;
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 105; }));
  ASSERT_TRUE(Rig.Release());
  EXPECT_EQ(Rig.LinesStartingWith("OnReceive response EXCEPTION: "),
            std::vector<std::string>{Line});
}

// A stop that finds the queue full: the drops and the messages discarded
// past the budget each end as one line, before the stop's own.
TEST(MessageQueueLimit, StopWithAFullQueueCountsDropsAndDiscardsOnceEach) {
  TRelayLimits Limits;
  Limits.QueuedMessages = 10;
  Limits.StopBudgetMs = 0;
  TRig Rig(Limits);
  Host.Allowed = 0;
  ASSERT_TRUE(Rig.Double.FloodReceive(Answer(), 25));
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
  TReleaser Releaser(Rig);
  Platform::SleepMs(50);
  Host.Allowed = INT_MAX;
  Releaser.Join();
  ASSERT_TRUE(Releaser.Freed);
  EXPECT_EQ(Host.Calls.load(), 1);
  const auto Lines = Rig.Lines();
  const std::string Dropped = QueueFullLine(10, Limits.QueuedMessageBytes, 15);
  const std::string Discarded =
      "Receive response EXCEPTION: relay stopping: 9 queued server messages discarded after the "
      "0 ms stop budget";
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), Dropped), 1);
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), Discarded), 1);
  EXPECT_EQ(Lines.back(), Stopped);
}

// ------------------------------------------------------------------ the stop

// A backlog queued before the stop is handed to the host only within the
// budget, counted from the stop's start also when the transport is slow to
// report the disconnect; the rest is discarded (one line counts the
// messages; each command ends as its one dropped line), and the host is
// never called afterwards. A command handled once the stop has begun fails
// at once, the connection still up, and never reaches the transport.
TEST(StopBudget, BacklogBeyondTheBudgetIsDiscardedAndTheStopIsPrompt) {
  const uint32_t NoticeAfterMs[] = {0, 500};  // 0: the double reports at once
  for (const uint32_t NoticeMs : NoticeAfterMs) {
    SCOPED_TRACE(NoticeMs);
    TRelayLimits Limits;
    Limits.StopBudgetMs = 200;
    TRig Rig(Limits);
    Rig.Double.SetAutoDisconnect(NoticeMs == 0);
    constexpr int Messages = 100;
    constexpr int EachMs = 20;  // the whole backlog would take 2 s
    Host.Allowed = 0;
    ASSERT_TRUE(Rig.Double.FireReceive(Answer()));
    ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
    for (int32_t Session : {11, 12}) Rig.Command(Session);
    ASSERT_TRUE(Rig.Double.FloodReceive(Answer(), Messages - 1));
    for (int32_t Session = 1; Session <= 5; ++Session) Rig.Command(Session);
    Host.EachMs = EachMs;
    TReleaser Releaser(Rig);
    EXPECT_TRUE(WaitUntil([&] { return Rig.Double.CallCount("DisconnectFromServer") > 0; }));
    Host.Allowed = INT_MAX;
    if (NoticeMs > 0) {
      Platform::SleepMs(NoticeMs);
      Rig.Double.FireDisconnect();  // the client may have given up waiting
    }
    Releaser.Join();
    ASSERT_TRUE(Releaser.Freed);
    const int Handed = Host.Calls.load();
    Platform::SleepMs(100);
    EXPECT_EQ(Host.Calls.load(), Handed) << "the host was called after the stop";
    EXPECT_GE(Handed, 2);
    EXPECT_LT(Handed, Messages);
    EXPECT_LE(static_cast<int64_t>(Host.LastCallTick - Releaser.StartTick),
              static_cast<int64_t>(Limits.StopBudgetMs) + 200);
    EXPECT_LT(Releaser.Ms, NoticeMs + Limits.StopBudgetMs + 700u);
    EXPECT_EQ(Rig.Double.CallCount("SendToServer"), 0);
    const auto Lines = Rig.Lines();
    const std::string Discarded = "Receive response EXCEPTION: relay stopping: " +
                                  std::to_string(Messages - Handed) +
                                  " queued server messages discarded after the 200 ms stop budget";
    EXPECT_EQ(std::count(Lines.begin(), Lines.end(), Discarded), 1);
    for (int32_t Session : {11, 12}) {
      const auto Failed = Rig.LinesStartingWith("ProcessCommand [SessionACT=" +
                                                std::to_string(Session) + "] EXCEPTION: ");
      ASSERT_EQ(Failed.size(), 1u) << Session;
      EXPECT_EQ(Failed[0].substr(Failed[0].size() - 16), " teDISCONNECT(8)") << Failed[0];
    }
    for (int32_t Session = 1; Session <= 5; ++Session) {
      const std::string Dropped =
          "ProcessCommand [SessionACT=" + std::to_string(Session) +
          "] EXCEPTION: relay stopped before the command was sent; command dropped";
      EXPECT_EQ(std::count(Lines.begin(), Lines.end(), Dropped), 1) << Session;
    }
    EXPECT_EQ(Lines.back(), Stopped);
  }
}

// ------------------------------------------------------ requests followed

// A server that answers some operations never: beyond the cap the oldest
// requests are no longer followed, one line per burst counts them, and no
// line claims a failure; an answer that comes late still reaches the host
// and settles no newer request.
TEST(AwaitedRequests, BeyondTheCapTheOldestAreCountedOnceAndNothingFails) {
  TRelayLimits Limits;
  Limits.AwaitedRequests = 3;
  TRig Rig(Limits);
  for (int32_t Session = 1; Session <= 6; ++Session) Rig.Command(Session);
  ASSERT_TRUE(WaitUntil([&] { return Rig.Double.CallCount("SendToServer") == 6; }));
  // Session 1's late answer; then the burst ends at the next send with room.
  ASSERT_TRUE(Rig.Double.FireReceive(std::string("\x06\x00UserData=Sess=1,SrcUserData=c\0", 31)));
  ASSERT_TRUE(Rig.Double.FireReceive(std::string("\x06\x00UserData=Sess=4,SrcUserData=c\0", 31)));
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 2; }));
  Rig.Command(7);
  ASSERT_TRUE(Rig.WaitForLine("No answer followed: "));
  ASSERT_TRUE(Rig.Release());
  EXPECT_EQ(Rig.LinesStartingWith("No answer followed: "),
            std::vector<std::string>{"No answer followed: 3 sent commands awaited longest are no "
                                     "longer followed (more than 3 awaited at once); their answers "
                                     "still reach the host"});
  std::vector<std::string> Unanswered;
  for (int32_t Session : {5, 6, 7}) {
    Unanswered.push_back("No answer [SessionACT=" + std::to_string(Session) +
                         "]: the command was sent; the relay stopped before an answer came");
  }
  EXPECT_EQ(Rig.LinesStartingWith("No answer ["), Unanswered);
  EXPECT_TRUE(Rig.LinesStartingWith("ProcessCommand [").empty());
}

// -------------------------------------------------------- stopping the worker

// The stop record cannot be queued: the worker is stopped without one (no
// memory needed), still hands over what was queued before and gives up what
// is awaited, and only then is anything freed.
TEST(WorkerStop, RefusedStopRecordStillEndsEveryQueuedCommandAndFreesAfterTheWorker) {
  TRig Rig(TRelayLimits{});
  TTaskHandler::SetTestFaults({[](const TTaskRecord* Task) { return TaskKind(Task) == TaskStop; }});
  Rig.Command(1);  // sent: awaited when the stop comes
  ASSERT_TRUE(WaitUntil([&] { return Rig.Double.CallCount("SendToServer") == 1; }));
  Host.Allowed = 0;
  ASSERT_TRUE(Rig.Double.FireReceive(std::string("\x06\x00", 2)));  // holds the worker
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
  Rig.Command(2);
  Rig.Command(3);
  TReleaser Releaser(Rig);
  ASSERT_TRUE(Rig.WaitForLine(StopFail));
  Host.Allowed = INT_MAX;
  Releaser.Join();
  ASSERT_TRUE(Releaser.Freed);
  const auto Lines = Rig.Lines();
  EXPECT_EQ(Rig.LinesStartingWith(StopFail), std::vector<std::string>{std::string(StopFail) +
                                                                      "std::bad_alloc"});
  EXPECT_EQ(Rig.LinesStartingWith("No answer [SessionACT=1]"),
            std::vector<std::string>{"No answer [SessionACT=1]: the command was sent; the relay "
                                     "stopped before an answer came"});
  for (int32_t Session : {2, 3}) {
    EXPECT_EQ(Rig.LinesStartingWith("ProcessCommand [SessionACT=" + std::to_string(Session) +
                                    "] EXCEPTION: ")
                  .size(),
              1u)
        << Session;
  }
  EXPECT_EQ(Lines.back(), Stopped);
}

// Nor can its end be waited for: everything the worker can touch is kept, not
// freed under it (the worker, held in a callback meanwhile, finishes safely);
// a later release frees it once the worker has ended.
TEST(WorkerStop, WorkerNotSeenToEndKeepsTheRelayUntilALaterRelease) {
  TRig Rig(TRelayLimits{});
  TTaskHandler::TTestFaults Faults;
  Faults.RefuseTask = [](const TTaskRecord* Task) { return TaskKind(Task) == TaskStop; };
  Faults.FailWait = true;
  TTaskHandler::SetTestFaults(Faults);
  Host.Allowed = 0;
  ASSERT_TRUE(Rig.Double.FireReceive(Answer()));
  ASSERT_TRUE(WaitUntil([] { return Host.Calls.load() == 1; }));
  EXPECT_FALSE(Rig.Release());
  EXPECT_EQ(Rig.LinesStartingWith("ERR: FS Client worker did not stop: "),
            std::vector<std::string>{"ERR: FS Client worker did not stop: the relay is kept in "
                                     "memory, not freed under it"});
  EXPECT_TRUE(Rig.LinesStartingWith(Stopped).empty());
  Host.Allowed = INT_MAX;  // the worker finishes its answer over the kept relay
  ASSERT_TRUE(Rig.WaitForLine("Send to SCENARIO [SessionACT=1]"));
  TTaskHandler::SetTestFaults({});
  ASSERT_TRUE(Rig.Release());
  EXPECT_EQ(Rig.Lines().back(), Stopped);
}
