// Worker and outstanding-request cases: each step an action on the object
// under test or a check of what it did so far, made as it comes.
#include "tests/support/CaseKinds.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/testing/MessageWindow.h"
#include "relay/OutstandingRequests.h"
#include "relay/TaskHandler.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

namespace {

// "1 5-7 S": the words, each range A-B written out ("-3" is a number).
std::vector<std::string> Words(const std::string& Text) {
  std::vector<std::string> Result;
  std::istringstream In(Text);
  for (std::string Word; In >> Word;) {
    const size_t Dash = Word.find('-', 1);
    if (Dash == std::string::npos) Result.push_back(Word);
    if (Dash == std::string::npos) continue;
    for (int64_t I = Signed(Word.substr(0, Dash)), Last = Signed(Word.substr(Dash + 1)); I <= Last; ++I)
      Result.push_back(std::to_string(I));
  }
  return Result;
}

// The other way, each run of consecutive numbers as A-B: the form words are
// compared and shown in ("none" for no word).
std::string Shortened(const std::vector<std::string>& Words) {
  std::string Text;
  for (size_t I = 0, End = 1; I < Words.size(); I = End++) {
    const bool Numeric = Words[I].find_first_not_of("-0123456789") == std::string::npos;
    while (Numeric && End < Words.size() && Words[End] == std::to_string(Signed(Words[End - 1]) + 1)) ++End;
    Text += (Text.empty() ? "" : " ") + Words[I] + (End - I > 1 ? "-" + Words[End - 1] : "");
  }
  return Text.empty() ? "none" : Text;
}

std::string FatalText(const TThreadBase& Thread) {
  try {
    if (Thread.FatalError()) std::rethrow_exception(Thread.FatalError());
  } catch (const std::exception& Error) {
    return Error.what();
  }
  return "";
}

// One worker, the actions its handlers take and what they were handed.
struct TRun {
  struct TAction {
    std::string When, What, Rest;  // When: the word of a record handed, or "idle"
  };
  struct TEvent {
    bool Idle;
    uint64_t Tick;
  };

  explicit TRun(uint32_t IdleMs) : Worker(IdleMs) {
    Worker.OnTask = [this](TTaskRecord* Task, bool& Stop) {
      const uint8_t Kind = TaskKind(Task);
      Stop = Kind == TaskStop;
      Note(false, Kind == TaskCommand ? std::to_string(TaskSession(Task))
                  : Kind == TaskStop  ? "S"
                  : Kind == TaskMessage ? "M" : "U");
    };
    Worker.OnIdle = [this] { Note(true, "idle"); };
  }
  // A started worker must have ended before it goes.
  ~TRun() {
    Worker.RequestStop();
    Worker.WaitFor();
  }

  // Notes the record handed (its word) or the idle call, then acts on it.
  void Note(bool Idle, const std::string& Word) {
    {
      Platform::TLockGuard Guard(Lock);
      Events.push_back({Idle, Platform::TickCountMs()});
      if (!Idle) Handed.push_back(Word);
    }
    ++(Idle ? Idles : Tasks);
    for (const TAction& Action : Actions) {
      if (Action.When != Word) continue;
      if (Action.What == "queue") Queue(Action.Rest);
      if (Action.What == "throw") throw std::runtime_error(Action.Rest);
      if (Action.What != "send-window") continue;
      Platform::SleepMs(50);  // the case's thread is in WaitFor by now
      Unsent += Window->SendFromOtherThread() ? 0 : 1;
    }
  }
  // A number: a command of that session; S a stop record, M a message, U an
  // unknown kind (both of session 7), R a stop asked without a record.
  void Queue(const std::string& Text) {
    for (const std::string& Word : Words(Text)) {
      if (Word == "R") Worker.RequestStop();
      if (Word == "R") continue;
      const bool Other = Word == "M" || Word == "U";
      const int32_t Session = Word == "S" || Other ? 0 : Signed(Word);
      Worker.AddTask(Word == "S" ? NewTaskRecord(TaskStop, 0, nullptr, 1)
                     : Other     ? NewTaskRecord(Word == "M" ? TaskMessage : 3, 7, "\x01\x00", 2)
                                 : NewTaskRecord(TaskCommand, Session, &Session, sizeof Session));
    }
  }

  Platform::TCriticalSection Lock;
  std::vector<std::string> Handed;  // Lock
  std::vector<TEvent> Events;       // Lock: the start, each record handed, each idle call
  std::vector<TAction> Actions;     // set before the start
  std::atomic<int> Tasks{0}, Idles{0}, Unsent{0};
  Platform::TMessageWindow* Window = nullptr;
  TTaskHandler Worker;  // last: it goes first
};

// Queues commands numbered Number << 16 | I, pausing 1 ms now and then.
struct TProducer {
  TRun* Run;
  int32_t Number, Each, PauseEvery;
  Platform::TThread Thread;
  static void Body(void* Self) {
    const auto* P = static_cast<TProducer*>(Self);
    for (int32_t I = 0; I < P->Each; ++I) {
      const int32_t Session = P->Number << 16 | I;
      P->Run->Worker.AddTask(NewTaskRecord(TaskCommand, Session, &Session, sizeof Session));
      if (P->PauseEvery != 0 && (I + P->Number) % P->PauseEvery == 0) Platform::SleepMs(1);
    }
  }
};

// Whether the commands handed are Producers * Each, producer p's (p << 16 | i)
// each once and in its order; a final stop record aside.
bool ProducersInOrder(std::vector<std::string> Handed, long Producers, long Each) {
  if (!Handed.empty() && Handed.back() == "S") Handed.pop_back();
  std::vector<long> Next(static_cast<size_t>(Producers), 0);
  for (const std::string& Word : Handed) {
    const long Session = Signed(Word), P = Session >> 16;
    if (P < 0 || P >= Producers || Next[static_cast<size_t>(P)]++ != (Session & 0xFFFF)) return false;
  }
  return static_cast<long>(Handed.size()) == Producers * Each;
}

// "idle-gaps MS": each idle call at least MS after the event before it;
// "idle-span N MS": the last N idle calls come after the last record and span
// at least MS, first to last.
bool IdleTimesHold(const std::vector<TRun::TEvent>& Events, const std::string& What, std::string Rest) {
  const size_t Span = What == "idle-gaps" ? 0 : Number(TakeWord(Rest));
  const uint64_t Least = Number(Rest);
  for (size_t I = 1; I < Events.size() && Span == 0; ++I)
    if (Events[I].Idle && Events[I].Tick - Events[I - 1].Tick < Least) return false;
  size_t First = Events.size();
  while (First > 0 && Events[First - 1].Idle && Events.size() - First < Span) --First;
  return Span == 0 || (Events.size() - First == Span && Events.back().Tick - Events[First].Tick >= Least);
}

// "record KIND SESSION BYTES|null LENGTH": a record's bytes (the header alone
// for a null payload, which is filled so that the block's end is checked),
// once its fields read back as made, also from a copy at an odd address.
std::string RecordBytes(std::string Rest) {
  const int32_t Kind = Signed(TakeWord(Rest)), Session = Signed(TakeWord(Rest));
  const bool Null = Rest.rfind("null ", 0) == 0;
  const std::string Payload = Null ? std::string(Number(Rest.substr(5)), '\x77') : DecodeBytes(Rest);
  const uint32_t Length = static_cast<uint32_t>(Payload.size());
  TTaskRecord* Task = NewTaskRecord(static_cast<uint8_t>(Kind), Session, Null ? nullptr : Payload.data(), Length);
  if (Null) std::memcpy(TaskPayload(Task), Payload.data(), Length);
  std::vector<uint8_t> Odd(TaskHeaderSize + Length + 1);
  std::memcpy(&Odd[1], Task, Odd.size() - 1);
  bool Same = TaskPayload(Task) == Task + TaskHeaderSize;
  for (const TTaskRecord* Copy : {static_cast<const TTaskRecord*>(Task), static_cast<const TTaskRecord*>(&Odd[1])})
    Same = Same && TaskKind(Copy) == Kind && TaskSession(Copy) == Session && TaskLength(Copy) == Length;
  const std::string Bytes(reinterpret_cast<const char*>(Task), Null ? TaskHeaderSize : Odd.size() - 1);
  FreeTaskRecord(Task);
  return Same ? Bytes : "its fields read back otherwise";
}

// "ring push A-B", "ring pop N", "ring pop-back", "ring drain", "ring
// capacity|size|released": a task queue of fake records (the number I at
// address I + 1; the queue never looks behind them). What the step gives:
// the records taken (as words), the figure asked, or nothing.
std::string RingStep(TTaskQueue& Ring, size_t& Released, std::string Rest) {
  const std::string What = TakeWord(Rest);
  const auto Word = [](TTaskRecord* Task) {
    return Task == nullptr ? "none" : std::to_string(reinterpret_cast<uintptr_t>(Task) - 1);
  };
  std::vector<std::string> Taken;
  std::vector<TTaskRecord*> Slots;
  if (What == "push")
    for (const std::string& I : Words(Rest))
      Ring.PushBack(reinterpret_cast<TTaskRecord*>(static_cast<uintptr_t>(Number(I)) + 1));
  for (size_t I = What == "pop" ? Number(Rest) : 0; I > 0; --I) {
    Taken.push_back(Word(Ring.PopFront(&Slots)));
    Released += Slots.size();
    Slots.clear();
  }
  while (What == "drain" && !Ring.Empty()) Ring.PopFront();
  if (What == "pop-back") Taken.push_back(Word(Ring.PopBack()));
  if (What == "capacity" || What == "size" || What == "released")
    Taken.push_back(std::to_string(What == "size" ? Ring.Size() : What == "capacity" ? Ring.Capacity() : Released));
  if (What == "released") Released = 0;
  return Taken.empty() ? "" : Shortened(Taken);
}

}  // namespace

bool RunWorkerCase(const std::vector<TCaseStep>& Steps) {
  std::unique_ptr<Platform::TMessageWindow> Window;  // outlives the worker
  std::unique_ptr<TRun> Run;
  TTaskQueue Ring;
  size_t Released = 0;  // ring slots handed back to the case since its last look
  uint64_t Mark = Platform::TickCountMs();
  return PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = " " + Step.Rest;  // the space: the arrow may come first
    const std::string Wanted = TakeResult(Rest);
    Rest.erase(0, 1);
    if (Verb == "ring" || Verb == "record") {
      const std::string Got = Verb == "ring" ? RingStep(Ring, Released, Rest) : RecordBytes(Rest);
      Why = Verb + " gave " + EscapeBytes(Got) + ", expected " + Wanted;
      return Verb == "ring" ? Got == (Wanted.empty() ? "" : Shortened(Words(Wanted))) : Got == DecodeBytes(Wanted);
    }
    if (Verb == "window") Window = std::make_unique<Platform::TMessageWindow>();
    if (Verb == "sleep") Platform::SleepMs(Number(Rest));
    if (Verb == "mark") Mark = Platform::TickCountMs();
    if (Verb == "kind" || Verb == "label" || Verb == "window" || Verb == "sleep" || Verb == "mark") return true;
    if (Verb == "worker") {  // worker MS: a fresh one, idle time-out MS
      Run.reset();
      Run = std::make_unique<TRun>(Number(Rest));
      Run->Window = Window.get();
      Why = "its idle time-out is " + std::to_string(Run->Worker.IdleTimeout());
      return std::to_string(Run->Worker.IdleTimeout()) == Rest;
    }
    if (!Run) throw std::runtime_error("no worker yet");
    TTaskHandler& Worker = Run->Worker;
    if (Verb == "on-task" || Verb == "on-idle") {  // on-task WORD|on-idle, then queue WORDS|throw TEXT|send-window
      const std::string When = Verb == "on-idle" ? "idle" : TakeWord(Rest), What = TakeWord(Rest);
      if (What != "queue" && What != "throw" && What != "send-window") throw std::runtime_error("no action " + What);
      if (What == "send-window" && !Window) throw std::runtime_error("no window yet");
      Run->Actions.push_back({When, What, Rest});
    } else if (Verb == "unbind") {
      if (Rest == "task") Worker.OnTask = nullptr;
      if (Rest == "idle") Worker.OnIdle = nullptr;
    } else if (Verb == "queue") {
      Run->Queue(Rest);
    } else if (Verb == "feed") {  // feed A-B every N pause MS: a pause after A, A+N, ...
      const std::vector<std::string> Sessions = Words(TakeWord(Rest));
      TakeWord(Rest);
      const size_t Every = Number(TakeWord(Rest));
      TakeWord(Rest);
      for (size_t I = 0; I < Sessions.size(); ++I) {
        Run->Queue(Sessions[I]);
        if (I % Every == 0) Platform::SleepMs(Number(Rest));
      }
    } else if (Verb == "producers") {  // producers N EACH PAUSE-EVERY
      std::vector<std::unique_ptr<TProducer>> Threads;
      const int32_t Count = Signed(TakeWord(Rest)), Each = Signed(TakeWord(Rest)), Pause = Signed(Rest);
      for (int32_t P = 0; P < Count; ++P) {
        Threads.push_back(std::unique_ptr<TProducer>(new TProducer{Run.get(), P, Each, Pause, {}}));
        if (!Threads.back()->Thread.Create(&TProducer::Body, Threads.back().get()))
          throw std::runtime_error("no thread");
      }
      size_t Started = 0;
      while (Started < Threads.size() && Threads[Started]->Thread.Start()) ++Started;
      bool Ran = Started == Threads.size();
      for (size_t P = 0; P < Started; ++P) Ran = Threads[P]->Thread.WaitForEnd() && Ran;
      Why = "a producer thread did not start or end";
      return Ran;
    } else if (Verb == "start") {
      {
        Platform::TLockGuard Guard(Run->Lock);
        Run->Events.push_back({false, Platform::TickCountMs()});
      }
      Worker.Start();
    } else if (Verb == "terminate" || Verb == "request-stop" || Verb == "wait-for") {
      if (Verb == "terminate") Worker.Terminate();
      if (Verb == "request-stop") Worker.RequestStop();
      if (Verb == "wait-for") Worker.WaitFor();
    } else if (Verb == "wait") {  // wait idles|tasks N|+N [within MS]
      const std::string What = TakeWord(Rest), Count = TakeWord(Rest);
      std::atomic<int>& Counter = What == "idles" ? Run->Idles : Run->Tasks;
      const int Least = Signed(Count) + (Count[0] == '+' ? Counter.load() : 0);
      TakeWord(Rest);
      Why = "fewer than " + std::to_string(Least) + " " + What;
      return WaitUntil([&] { return Counter.load() >= Least; }, Rest.empty() ? 20000 : Number(Rest));
    } else if (Verb == "expect") {
      const std::string What = TakeWord(Rest);
      std::vector<TRun::TEvent> Events;
      std::vector<std::string> Handed;
      {
        Platform::TLockGuard Guard(Run->Lock);
        Events = Run->Events;
        Handed = Run->Handed;
      }
      const long Idles = Run->Idles.load();
      Why = "handed " + Shortened(Handed) + "; " + std::to_string(Idles) + " idle calls";
      if (What == "handed") return Shortened(Handed) == Shortened(Words(Rest));
      if (What == "idles") return InRange(Idles, Rest);
      const long Producers = What == "producers" ? Signed(TakeWord(Rest)) : 0;
      if (What == "producers") return ProducersInOrder(Handed, Producers, Signed(Rest));
      Why = "the fatal error is \"" + FatalText(Worker) + "\"";
      if (What == "fatal") return FatalText(Worker) == Rest;
      Why = std::string("the termination flag is ") + (Worker.Terminated() ? "set" : "clear");
      if (What == "terminated") return Worker.Terminated() == (Rest == "1");
      Why = std::to_string(Window ? Window->HandledCount() : 0) + " handled, " + std::to_string(Run->Unsent) + " not";
      if (What == "window") return Window && Window->HandledCount() == Signed(Rest) && Run->Unsent == 0;
      const uint64_t Took = Platform::TickCountMs() - Mark;
      Why = "took " + std::to_string(Took) + " ms";
      if (What == "took") return InRange(static_cast<long>(Took), Rest);
      if (What != "idle-gaps" && What != "idle-span") throw std::runtime_error("unknown expectation " + What);
      Why = "the start, records (r) and idle calls (i) at";
      for (const TRun::TEvent& Event : Events) Why += (Event.Idle ? " i" : " r") + std::to_string(Event.Tick);
      return IdleTimesHold(Events, What, Rest);
    } else {
      throw std::runtime_error("unknown step " + Verb);
    }
    return true;
  });
}

bool RunOutstandingCase(const std::vector<TCaseStep>& Steps) {
  std::unique_ptr<TOutstandingRequests> Table;
  return PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = " " + Step.Rest;  // the space: the arrow may come first
    const std::string Wanted = Shortened(Words(TakeResult(Rest)));
    Rest.erase(0, 1);
    // A host value: its key, or 0 when none is written.
    const auto Key = [](const std::string& Text) {
      return Text.empty() ? 0 : TOutstandingRequests::HostValueKey(DecodeBytes(Text));
    };
    std::vector<std::string> Reported;
    const auto Report = [&](int32_t Session) { Reported.push_back(std::to_string(Session)); };
    std::string Got;
    if (Verb == "kind" || Verb == "label") return true;
    if (Verb == "table") {
      Table = std::make_unique<TOutstandingRequests>(Number(Rest));
      return true;
    }
    if (Verb == "keys-differ") {  // keys-differ A|B
      const std::vector<std::string> F = SplitFields(Rest);
      Got = F.size() == 2 && TOutstandingRequests::HostValueKey(F[0]) != TOutstandingRequests::HostValueKey(F[1])
                ? "1" : "0";
    } else if (!Table) {
      throw std::runtime_error("no table yet");
    } else if (Verb == "sent") {  // sent SESSION GENERATION [HOST]
      const int32_t Session = Signed(TakeWord(Rest));
      const uint32_t Generation = static_cast<uint32_t>(Number(TakeWord(Rest)));
      Got = Table->Sent(Session, Key(Rest), Generation) ? "1" : "0";
    } else if (Verb == "answered") {  // answered SESSION [HOST]
      const int32_t Session = Signed(TakeWord(Rest));
      Got = Table->Answered(Session, Key(Rest)) ? "1" : "0";
    } else if (Verb == "lost" || Verb == "drop-all") {  // the sessions given up, in order, or none
      const size_t Count = Verb == "lost" ? Table->ConnectionLost(static_cast<uint32_t>(Number(Rest)), Report)
                                          : Table->DropAll(Report);
      Got = Shortened(Reported);
      if (Count != Reported.size()) Got += " (it returned " + std::to_string(Count) + ")";
    } else if (Verb == "untracked" || Verb == "unanswered") {
      Got = std::to_string(Verb == "untracked" ? Table->TakeUntracked() : Table->Unanswered());
    } else {
      throw std::runtime_error("unknown step " + Verb);
    }
    Why = Verb + " gave " + Got + ", expected " + Wanted;
    return Got == Wanted;
  });
}

}  // namespace TestSupport
