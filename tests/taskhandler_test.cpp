// Tests of the task record layout, the general thread class and the worker
// thread: order, idle calls, stop and termination, failures, many producers,
// and the wait for the end on the loader thread with a sent window message.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/testing/MessageWindow.h"
#include "relay/TaskHandler.h"
#include "relay/TaskRecord.h"
#include "relay/ThreadBase.h"
#include "tests/support/DataTable.h"
#include "tests/support/TestSupport.h"

using TestSupport::WaitUntil;

namespace {

void AddCommand(TTaskHandler& Worker, int32_t Session) {
  Worker.AddTask(NewTaskRecord(TaskCommand, Session, &Session, sizeof Session));
}

void AddStop(TTaskHandler& Worker) {
  Worker.AddTask(NewTaskRecord(TaskStop, 0, nullptr, 1));
}

// Handlers shaped like the relay manager's: kind 0 stops, kinds 1 and 2 are
// processed (their session numbers noted), any other kind is ignored.
// Seen, Kinds and IdleTicks (of each idle call) are the worker's until
// WaitFor has returned.
struct TProbe {
  std::vector<int32_t> Seen;
  std::vector<uint8_t> Kinds;
  std::vector<uint64_t> IdleTicks;
  std::atomic<int> Tasks{0};
  std::atomic<int> Idles{0};
  std::atomic<uint64_t> LastTaskTick{0};

  void Bind(TTaskHandler& Worker) {
    Worker.OnTask = [this](TTaskRecord* Task, bool& Stop) { Dispatch(Task, Stop); };
    Worker.OnIdle = [this] {
      IdleTicks.push_back(Platform::TickCountMs());
      ++Idles;
    };
  }
  void Dispatch(TTaskRecord* Task, bool& Stop) {
    LastTaskTick = Platform::TickCountMs();
    Kinds.push_back(TaskKind(Task));
    switch (TaskKind(Task)) {
      case TaskStop: Stop = true; break;
      case TaskCommand:
      case TaskMessage: Seen.push_back(TaskSession(Task)); break;
      default: break;
    }
    ++Tasks;
  }
};

std::vector<int32_t> Range(int32_t From, int32_t To) {
  std::vector<int32_t> Values;
  for (int32_t i = From; i < To; ++i) Values.push_back(i);
  return Values;
}

// The message of the failure a thread kept; "" when none.
std::string FatalText(const TThreadBase& Thread) {
  if (!Thread.FatalError()) return "";
  try {
    std::rethrow_exception(Thread.FatalError());
  } catch (const std::exception& Error) {
    return Error.what();
  }
}

// Sessions numbered Producer << 16 | I: each producer's in its order, each once.
void ExpectEachProducersOrder(const std::vector<int32_t>& Seen, size_t Producers, size_t Each) {
  ASSERT_EQ(Producers * Each, Seen.size());
  std::vector<int32_t> Next(Producers, 0);
  for (int32_t Session : Seen) {
    const size_t p = static_cast<size_t>(Session >> 16);
    ASSERT_LT(p, Producers);
    ASSERT_EQ(Next[p], Session & 0xFFFF) << "producer " << p;
    ++Next[p];
  }
}

}  // namespace

// ------------------------------------------------------------------ the queue

namespace {

// Distinct fake record pointers: the queue never looks behind them.
TTaskRecord* Fake(size_t I) { return reinterpret_cast<TTaskRecord*>(I + 1); }

}  // namespace

TEST(TaskQueue, KeepsOrderAcrossWrapAroundAndGrowth) {
  TTaskQueue Queue;
  size_t Next = 0, Expected = 0;
  // Move the head off zero, then grow while the content wraps around.
  for (; Next < 40; ++Next) Queue.PushBack(Fake(Next));
  for (int i = 0; i < 30; ++i) EXPECT_EQ(Fake(Expected++), Queue.PopFront());
  // 50 records from slot 30 of a 64-slot ring: the last one sits below the head.
  for (; Next < 80; ++Next) Queue.PushBack(Fake(Next));
  EXPECT_EQ(TTaskQueue::SmallSlots, Queue.Capacity());
  EXPECT_EQ(Fake(--Next), Queue.PopBack());
  for (; Next < 1000; ++Next) Queue.PushBack(Fake(Next));
  EXPECT_EQ(970u, Queue.Size());
  EXPECT_EQ(Fake(Next - 1), Queue.PopBack());
  --Next;
  while (!Queue.Empty()) EXPECT_EQ(Fake(Expected++), Queue.PopFront());
  EXPECT_EQ(Next, Expected);
  EXPECT_EQ(nullptr, Queue.PopFront());
  EXPECT_EQ(nullptr, Queue.PopBack());
}

TEST(TaskQueue, SteadyBacklogUpToTheLargeSizeKeepsItsRing) {
  TTaskQueue Queue;
  std::vector<TTaskRecord*> Released;
  for (int Cycle = 0; Cycle < 3; ++Cycle) {
    for (size_t i = 0; i < TTaskQueue::LargeSlots; ++i) Queue.PushBack(Fake(i));
    EXPECT_EQ(TTaskQueue::LargeSlots, Queue.Capacity());
    for (size_t i = 0; i < TTaskQueue::LargeSlots; ++i) EXPECT_EQ(Fake(i), Queue.PopFront(&Released));
    EXPECT_TRUE(Released.empty());
    EXPECT_EQ(TTaskQueue::LargeSlots, Queue.Capacity());  // no give-back, no regrowth
  }
}

TEST(TaskQueue, LargeRingIsGivenBackOnceEmptyAndGrowsAgain) {
  TTaskQueue Queue;
  const size_t Burst = 100000;
  for (size_t i = 0; i < Burst; ++i) Queue.PushBack(Fake(i));
  const size_t Peak = Queue.Capacity();
  EXPECT_GE(Peak, Burst);
  std::vector<TTaskRecord*> Released;
  for (size_t i = 0; i + 1 < Burst; ++i) ASSERT_EQ(Fake(i), Queue.PopFront(&Released));
  EXPECT_TRUE(Released.empty());  // not while a record is left
  EXPECT_EQ(Peak, Queue.Capacity());
  EXPECT_EQ(Fake(Burst - 1), Queue.PopFront(&Released));
  EXPECT_EQ(Peak, Released.size());  // handed to the caller to free
  EXPECT_EQ(0u, Queue.Capacity());
  EXPECT_TRUE(Queue.Empty());
  // Usable again at once, from a small ring.
  Queue.PushBack(Fake(7));
  EXPECT_EQ(TTaskQueue::SmallSlots, Queue.Capacity());
  EXPECT_EQ(Fake(7), Queue.PopFront());
  // Without a Released vector the queue frees the ring itself.
  for (size_t i = 0; i < 2 * TTaskQueue::LargeSlots; ++i) Queue.PushBack(Fake(i));
  while (!Queue.Empty()) Queue.PopFront();
  EXPECT_EQ(0u, Queue.Capacity());
}

// ------------------------------------------------------------------ the record

TEST(TaskRecord, HeaderIsLittleEndianAndPayloadIsCopied) {
  const char Bytes[] = "ab\0c";
  TTaskRecord* Task = NewTaskRecord(TaskCommand, -2, Bytes, 4);
  const uint8_t Expected[] = {1, 0xFE, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0, 'a', 'b', 0, 'c'};
  EXPECT_EQ(0, std::memcmp(Task, Expected, sizeof Expected));
  EXPECT_EQ(TaskCommand, TaskKind(Task));
  EXPECT_EQ(-2, TaskSession(Task));
  EXPECT_EQ(4u, TaskLength(Task));
  EXPECT_EQ(Task + TaskHeaderSize, TaskPayload(Task));
  FreeTaskRecord(Task);
}

TEST(TaskRecord, StopRecordIsTenBytesWithOneUnsetPayloadByte) {
  TTaskRecord* Task = NewTaskRecord(TaskStop, 0, nullptr, 1);
  EXPECT_EQ(TaskStop, TaskKind(Task));
  EXPECT_EQ(1u, TaskLength(Task));
  TaskPayload(Task)[0] = 0x77;  // the tenth byte exists (ASan checks the block's end)
  FreeTaskRecord(Task);
}

TEST(TaskRecord, FieldsAreReadFromUnalignedAddresses) {
  // A record copied to an odd address reads the same (no aligned loads).
  TTaskRecord* Task = NewTaskRecord(TaskMessage, 0x12345678, "xy", 2);
  alignas(8) uint8_t Buffer[32] = {};
  std::memcpy(Buffer + 1, Task, TaskHeaderSize + 2);
  EXPECT_EQ(0x12345678, TaskSession(Buffer + 1));
  EXPECT_EQ(2u, TaskLength(Buffer + 1));
  EXPECT_EQ(0x78, Buffer[2]);
  EXPECT_EQ(0x12, Buffer[5]);
  FreeTaskRecord(Task);
}

// ------------------------------------------------------------ the thread class

namespace {

struct TFlagThread : TThreadBase {
  std::atomic<bool> Ran{false};
  bool Fail = false;
  TFlagThread() : TThreadBase(true) {}
  explicit TFlagThread(bool ThrowInConstructor) : TThreadBase(true) {
    if (ThrowInConstructor) throw std::runtime_error("derived part failed");
  }
  void Execute() override {
    Ran = true;
    if (Fail) throw std::runtime_error("body failed");
  }
};

}  // namespace

// The body runs only after Start; a failure escaping it is kept, and a
// termination asked before the start only sets the flag.
TEST(ThreadBase, BodyRunsOnlyAfterStartAndItsFailureIsKept) {
  for (const bool Fail : {true, false}) {
    TFlagThread Thread;
    Thread.Fail = Fail;
    EXPECT_FALSE(Thread.Terminated());
    if (!Fail) Thread.Terminate();
    EXPECT_EQ(Thread.Terminated(), !Fail);
    Platform::SleepMs(30);
    EXPECT_FALSE(Thread.Ran);
    Thread.Start();
    Thread.WaitFor();
    EXPECT_TRUE(Thread.Ran);
    EXPECT_EQ(Fail ? "body failed" : "", FatalText(Thread));
  }
}

TEST(ThreadBase, NeverStartedThreadIsReleasedWithoutRunningItsBody) {
  {
    TFlagThread Thread;
    Thread.WaitFor();  // nothing to wait for
    EXPECT_FALSE(Thread.FatalError());
  }
  // A derived constructor that fails after the base made the thread.
  EXPECT_THROW(TFlagThread(true), std::runtime_error);
}

// ------------------------------------------------------------------ the worker

// Records queued before the start, as words: a number is a command of that
// session, "A-B" the commands A to B, S a stop record, M a message, U a
// record of an unknown kind, R a stop asked without a record. Expected: what
// OnTask saw, in the same words. Records never handed over are freed (the
// leak checker sees none of them).
TEST(TaskHandler, RecordsQueuedBeforeTheStartRunInOrderUpToTheStop) {
  const auto Words = [](const std::string& Text) {
    std::vector<std::string> Result;
    std::istringstream In(Text);
    for (std::string Word; In >> Word;) {
      const size_t Dash = Word.find('-');
      if (Dash == std::string::npos) {
        Result.push_back(Word);
        continue;
      }
      for (int32_t i : Range(std::stoi(Word), std::stoi(Word.substr(Dash + 1)) + 1)) {
        Result.push_back(std::to_string(i));
      }
    }
    return Result;
  };
  for (const TestSupport::TDataRow& Row : DataTable("taskhandler/queued_before_start.txt")) {
    SCOPED_TRACE(Row.Where());
    const bool Started = Row.Text(1) != "-";
    std::vector<std::string> Handed;  // the worker's until WaitFor
    TTaskHandler Worker(10000);
    EXPECT_EQ(10000u, Worker.IdleTimeout());
    Worker.OnTask = [&](TTaskRecord* Task, bool& Stop) {
      const uint8_t Kind = TaskKind(Task);
      Stop = Kind == TaskStop;
      Handed.push_back(Kind == TaskCommand ? std::to_string(TaskSession(Task))
                       : Kind == TaskStop  ? "S"
                       : Kind == TaskMessage ? "M" : "U");
    };
    for (const std::string& Word : Words(Row.Text(0))) {
      if (Word == "R") {
        Worker.RequestStop();
      } else if (Word == "S") {
        AddStop(Worker);
      } else if (Word == "M" || Word == "U") {
        Worker.AddTask(NewTaskRecord(Word == "M" ? TaskMessage : 3, 7, "\x01\x00", 2));
      } else {
        AddCommand(Worker, std::stoi(Word));
      }
    }
    Platform::SleepMs(30);
    EXPECT_TRUE(Handed.empty());
    if (Started) Worker.Start();
    Worker.WaitFor();
    EXPECT_EQ(Words(Started ? Row.Text(1) : ""), Handed);
    EXPECT_FALSE(Worker.FatalError());
  }
}

TEST(TaskHandler, RecordsAddedWhileRunningRunInOrder) {
  TProbe Probe;
  TTaskHandler Worker(10000);
  Probe.Bind(Worker);
  Worker.Start();
  for (int32_t i = 0; i < 500; ++i) {
    AddCommand(Worker, i);
    if (i % 100 == 0) Platform::SleepMs(5);  // let the worker drain to empty at times
  }
  AddStop(Worker);
  Worker.WaitFor();
  EXPECT_EQ(Range(0, 500), Probe.Seen);
}

TEST(TaskHandler, RecordsAddedFromInsideOnTaskRunAfterwardsInOrder) {
  TProbe Probe;
  TTaskHandler Worker(10000);
  Worker.OnTask = [&](TTaskRecord* Task, bool& Stop) {
    Probe.Dispatch(Task, Stop);
    if (TaskKind(Task) == TaskCommand && TaskSession(Task) == 1) {
      AddCommand(Worker, 10);
      AddCommand(Worker, 11);
      AddStop(Worker);
    }
  };
  AddCommand(Worker, 1);
  AddCommand(Worker, 2);
  Worker.Start();
  Worker.WaitFor();
  EXPECT_EQ((std::vector<int32_t>{1, 2, 10, 11}), Probe.Seen);
}

TEST(TaskHandler, OnIdleComesAfterEachFullIdleTimeout) {
  constexpr uint32_t Timeout = 100;
  TTaskHandler Worker(Timeout);
  TProbe Probe;
  Probe.Bind(Worker);
  const uint64_t Started = Platform::TickCountMs();
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= 3; }));
  AddStop(Worker);
  Worker.WaitFor();
  const std::vector<uint64_t>& IdleTimes = Probe.IdleTicks;
  ASSERT_GE(IdleTimes.size(), 3u);
  EXPECT_GE(IdleTimes[0] - Started, Timeout - 20);  // tick granularity under Wine
  for (size_t i = 1; i < IdleTimes.size(); ++i) EXPECT_GE(IdleTimes[i] - IdleTimes[i - 1], Timeout - 20);
}

TEST(TaskHandler, EveryRecordRestartsTheIdlePeriod) {
  constexpr uint32_t Timeout = 250;
  TProbe Probe;
  TTaskHandler Worker(Timeout);
  Probe.Bind(Worker);
  Worker.Start();
  // A stream of records closer together than the time-out: no idle call.
  for (int32_t i = 0; i < 20; ++i) {
    AddCommand(Worker, i);
    Platform::SleepMs(Timeout / 5);
  }
  EXPECT_EQ(0, Probe.Idles.load());
  // Silence: one idle call, a full time-out after the last record.
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= 1; }));
  const uint64_t LastTask = Probe.LastTaskTick;
  AddStop(Worker);
  Worker.WaitFor();
  ASSERT_GE(Probe.IdleTicks.at(0), LastTask);
  EXPECT_GE(Probe.IdleTicks.at(0) - LastTask, Timeout - 20);
}

TEST(TaskHandler, WithoutOnTaskRecordsAreFreedAndStopDoesNotEndTheLoop) {
  TProbe Probe;
  TTaskHandler Worker(30);
  Probe.Bind(Worker);
  Worker.OnTask = nullptr;
  AddCommand(Worker, 1);
  AddStop(Worker);
  AddCommand(Worker, 2);
  Worker.Start();
  // Idle calls come only once the queue is empty, so the loop is still
  // running after it took the stop record.
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= 2; }));
  Worker.Terminate();
  AddCommand(Worker, 3);
  Worker.WaitFor();
  EXPECT_FALSE(Worker.FatalError());
}

// The stop without a record (no memory needed): what was queued before it
// still goes to OnTask, in order, and a waiting worker ends at once rather
// than at its next idle time-out, without an idle call.
TEST(TaskHandler, RequestStopEndsTheLoopAfterWhatWasQueuedBeforeIt) {
  for (int32_t Queued : {0, 3}) {
    SCOPED_TRACE(Queued);
    TProbe Probe;
    TTaskHandler Worker(10000);
    Probe.Bind(Worker);
    Worker.Start();
    for (int32_t i = 0; i < Queued; ++i) AddCommand(Worker, i);
    Platform::SleepMs(20);  // the worker waits (or has drained) by now
    const uint64_t Requested = Platform::TickCountMs();
    Worker.RequestStop();
    Worker.WaitFor();
    EXPECT_LT(Platform::TickCountMs() - Requested, 2000u);
    EXPECT_EQ(Range(0, Queued), Probe.Seen);
    EXPECT_EQ(0, Probe.Idles.load());
    AddCommand(Worker, 99);  // after the end: freed with the worker, never run
  }
}

TEST(TaskHandler, TerminationTakesEffectOnlyAfterTheNextRecord) {
  TProbe Probe;
  TTaskHandler Worker(30);
  Probe.Bind(Worker);
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= 1; }));
  Worker.Terminate();
  const int IdlesAtRequest = Probe.Idles.load();
  // The waiting worker does not wake for the request; it keeps idling.
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= IdlesAtRequest + 2; }));
  EXPECT_EQ(0, Probe.Tasks.load());
  AddCommand(Worker, 1);
  AddCommand(Worker, 2);  // processed never: the loop ends after record 1
  Worker.WaitFor();
  EXPECT_EQ((std::vector<int32_t>{1}), Probe.Seen);
}

// A backlog beyond the large ring size is given back when it drains; the
// worker then carries on with a fresh ring, records still in order.
TEST(TaskHandler, BurstBeyondTheLargeRingRunsInOrderAndWorkGoesOnAfterIt) {
  TProbe Probe;
  TTaskHandler Worker(10000);
  Probe.Bind(Worker);
  const int32_t Burst = static_cast<int32_t>(3 * TTaskQueue::LargeSlots);
  for (int32_t i = 0; i < Burst; ++i) AddCommand(Worker, i);
  Worker.Start();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Tasks.load() == Burst; }));
  for (int32_t i = Burst; i < Burst + 100; ++i) AddCommand(Worker, i);
  AddStop(Worker);
  Worker.WaitFor();
  EXPECT_EQ(Range(0, Burst + 100), Probe.Seen);
}

// A failure escaping a handler ends the loop and becomes the fatal error; the
// record in hand and the queued ones are freed, and so is one added after the
// end (with the worker).
TEST(TaskHandler, FailureEscapingAHandlerBecomesFatalErrorAndLeaksNothing) {
  for (const bool InIdle : {false, true}) {
    SCOPED_TRACE(InIdle ? "OnIdle" : "OnTask");
    TProbe Probe;
    TTaskHandler Worker(InIdle ? 20 : 10000);
    Worker.OnTask = [&](TTaskRecord* Task, bool& Stop) {
      Probe.Dispatch(Task, Stop);
      if (TaskSession(Task) == 2) throw std::runtime_error("dispatch failed");
    };
    Worker.OnIdle = [] { throw std::runtime_error("keep-alive failed"); };
    if (!InIdle) {
      for (int32_t i = 1; i <= 4; ++i) AddCommand(Worker, i);
    }
    Worker.Start();
    Worker.WaitFor();
    EXPECT_EQ((InIdle ? std::vector<int32_t>{} : std::vector<int32_t>{1, 2}), Probe.Seen);
    EXPECT_EQ(InIdle ? "keep-alive failed" : "dispatch failed", FatalText(Worker));
    AddCommand(Worker, 5);
    EXPECT_EQ(InIdle ? 0 : 2, Probe.Tasks.load());
  }
}

// On Windows the main thread (the one that loaded everything) waits for the
// worker while the worker sends a message to the main thread's window; the
// wait must let the message through, or both threads block for good.
TEST(TaskHandler, WaitForOnLoaderThreadLetsSentWindowMessagesThrough) {
  Platform::TMessageWindow Window;
  std::atomic<bool> Delivered{false};
  TTaskHandler Worker(10000);
  Worker.OnTask = [&](TTaskRecord* Task, bool& Stop) {
    if (TaskKind(Task) == TaskStop) {
      Stop = true;
      return;
    }
    Platform::SleepMs(50);  // the main thread is in WaitFor by now
    Delivered = Window.SendFromOtherThread();
  };
  AddCommand(Worker, 1);
  AddCommand(Worker, 2);
  AddStop(Worker);
  Worker.Start();
  Worker.WaitFor();
  EXPECT_TRUE(Delivered);
  EXPECT_EQ(2, Window.HandledCount());
}

// The worker takes records without a kernel wait while its queue is not
// empty and producers release a count only to a waiting worker, so the
// races that matter are an append against the worker going to sleep, and an
// append against the idle wait ending. Each case drives them many times:
// producers pausing now and then (so the worker empties its queue and
// waits), against an idle time-out of 1 ms (appends meet time-outs) or of
// 10 s (every pause ends in a wake-up; an idle call or a record left waiting
// for the time-out is then a fault). Every record must run once, in each
// producer's order, and the run must end promptly.
namespace {

struct TStressCase {
  const char* Name;
  int Producers;
  int32_t PerProducer;
  uint32_t IdleMs;
  int32_t PauseEvery;  // a pause after every that many records; 0: none
  bool EndByRequest;   // RequestStop rather than a stop record
};

struct TPausingProducer {
  TTaskHandler* Worker = nullptr;
  const TStressCase* Case = nullptr;
  int32_t Number = 0;
  static void Run(void* Self) {
    auto* This = static_cast<TPausingProducer*>(Self);
    const TStressCase& C = *This->Case;
    for (int32_t i = 0; i < C.PerProducer; ++i) {
      AddCommand(*This->Worker, This->Number << 16 | i);
      if (C.PauseEvery != 0 && (i + This->Number) % C.PauseEvery == 0) Platform::SleepMs(1);
    }
  }
};

}  // namespace

TEST(TaskHandler, ProducersRacingTheWorkersSleepAndIdleTimeOutLoseNothing) {
  const TStressCase Cases[] = {
      {"one producer against 1 ms time-outs", 1, 1500, 1, 3, false},
      {"four producers against 1 ms time-outs", 4, 1000, 1, 5, true},
      {"four producers, every pause a wake-up", 4, 400, 10000, 4, false},
      {"eight producers without pauses", 8, 2000, 10000, 0, true},
      {"eight producers without pauses, a stop record", 8, 2000, 10000, 0, false},
  };
  for (const TStressCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TProbe Probe;
    TTaskHandler Worker(Case.IdleMs);
    Probe.Bind(Worker);
    Worker.Start();
    std::vector<TPausingProducer> Producer(static_cast<size_t>(Case.Producers));
    std::vector<Platform::TThread> Threads(static_cast<size_t>(Case.Producers));
    const uint64_t Started = Platform::TickCountMs();
    for (size_t p = 0; p < Producer.size(); ++p) {
      Producer[p] = {&Worker, &Case, static_cast<int32_t>(p)};
      ASSERT_TRUE(Threads[p].Create(&TPausingProducer::Run, &Producer[p]));
    }
    for (auto& Thread : Threads) ASSERT_TRUE(Thread.Start());
    for (auto& Thread : Threads) ASSERT_TRUE(Thread.WaitForEnd());
    const int Total = Case.Producers * Case.PerProducer;
    // A lost wake-up leaves a record waiting for the idle time-out (10 s) or
    // for ever.
    EXPECT_TRUE(WaitUntil([&] { return Probe.Tasks.load() == Total; }, 5000));
    if (Case.EndByRequest) {
      Worker.RequestStop();
    } else {
      AddStop(Worker);
    }
    Worker.WaitFor();
    EXPECT_LT(Platform::TickCountMs() - Started, 8000u);
    EXPECT_FALSE(Worker.FatalError());
    if (Case.IdleMs == 10000) {
      EXPECT_EQ(0, Probe.Idles.load());
    }
    ExpectEachProducersOrder(Probe.Seen, Producer.size(), static_cast<size_t>(Case.PerProducer));
  }
}

// After a run of time-outs met by appends, the idle rhythm is still whole:
// nothing left over from the races makes the worker wake early.
TEST(TaskHandler, IdleRhythmAfterRacingAppendsIsFullTimeOuts) {
  constexpr uint32_t Timeout = 20;
  constexpr int32_t Records = 200;
  TProbe Probe;
  std::vector<uint64_t> IdleTimes;  // the worker's until WaitFor
  TTaskHandler Worker(Timeout);
  Worker.OnTask = [&](TTaskRecord* Task, bool& Stop) { Probe.Dispatch(Task, Stop); };
  Worker.OnIdle = [&] {
    if (Probe.Tasks.load() == Records) IdleTimes.push_back(Platform::TickCountMs());
    ++Probe.Idles;
  };
  Worker.Start();
  for (int32_t i = 0; i < Records; ++i) {
    AddCommand(Worker, i);
    if (i % 4 == 0) Platform::SleepMs(Timeout);
  }
  ASSERT_TRUE(WaitUntil([&] { return Probe.Tasks.load() == Records; }));
  const int IdlesNow = Probe.Idles.load();
  ASSERT_TRUE(WaitUntil([&] { return Probe.Idles.load() >= IdlesNow + 11; }));
  Worker.RequestStop();
  Worker.WaitFor();
  EXPECT_EQ(Range(0, Records), Probe.Seen);
  ASSERT_GE(IdleTimes.size(), 10u);
  // Ticks are coarse (10-16 ms under Wine): the span of ten is the measure.
  const uint64_t Span = IdleTimes.back() - IdleTimes[IdleTimes.size() - 10];
  EXPECT_GE(Span, 9u * Timeout - 20);
}
