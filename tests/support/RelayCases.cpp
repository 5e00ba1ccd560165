// Relay-manager cases: the manager's limits, the host's pace, the double's
// notices, the stop, and checks of the log, the host's calls and the queue.
#include "tests/support/CaseKinds.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "platform/FaultSeam.h"
#include "platform/Thread.h"
#include "relay/MailerManager.h"
#include "relay/TaskHandler.h"
#include "tests/support/DoubleSteps.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

namespace TestSupport {

namespace Seam = Platform::FaultSeam;

namespace {

constexpr uint32_t WaitMs = 10000;  // no step of a sound run comes near it

Platform::TFaultOperation Operation(const std::string& Name) {
  for (size_t I = 0; Seam::OperationName(I) != nullptr; ++I)
    if (Name == Seam::OperationName(I)) return static_cast<Platform::TFaultOperation>(I);
  throw std::runtime_error("unknown seam operation " + Name);
}

class TRelayCase {
 public:
  TRelayCase() {
    Seam::Reset();
    CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
    Double.SetAutoDisconnect(true);  // the stop has its notice at once
  }

  bool Play(const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = Step.Rest;
    if (Verb == "kind" || Verb == "label") return true;
    if (Verb == "expect") return Expect(Rest, Why);
    if (Verb == "wait") return Why = "wait " + Rest + ": timed out", Wait(Rest, Why);
    if (Verb == "double") return ScriptDouble(Double, Rest), true;
    if (Verb == "sleep") return Platform::SleepMs(Number(Rest)), true;
    if (Verb == "log" && TakeWord(Rest) == "only") return Filters.push_back(Rest), true;
    const std::string What = TakeWord(Rest);
    if (Verb == "limits") return SetLimits(What, Rest), true;
    if (Verb == "host" && What == "hold-after") return Allowed = static_cast<int>(Number(Rest)), true;
    if (Verb == "host" && What == "allow" && Rest == "all") return Allowed = INT_MAX, true;
    if (Verb == "host" && What == "each") return EachMs = Number(Rest), true;
    if (Verb == "seam" && What == "refuse") {  // seam refuse OP CODE: each call from the next on
      const Platform::TFaultOperation Refused = Operation(TakeWord(Rest));
      Seam::Arm(Refused, Seam::Calls(Refused) + 1, Number(Rest), UINT64_MAX);
      return true;
    }
    if (Verb == "seam" && What == "mark")  // seam mark OP: its calls counted from here
      return MarkTick = Platform::TickCountMs(), Marked = Seam::Calls(Operation(Rest)), true;
    if (Verb == "worker-fault") {  // refuse-stop [fail-wait] | none
      TTaskHandler::TTestFaults Faults;
      if (What == "refuse-stop")
        Faults.RefuseTask = [](const TTaskRecord* Task) { return TaskKind(Task) == TaskStop; };
      else if (What != "none") throw std::runtime_error("unknown worker fault " + What);
      Faults.FailWait = Rest == "fail-wait";
      return TTaskHandler::SetTestFaults(Faults), true;
    }
    if (Verb == "command") {  // command S[..T] BYTES: one for each session S to T
      const std::string Bytes = DecodeBytes(Rest);
      const size_t Dots = What.find("..");
      const long Last = Signed(Dots == std::string::npos ? What : What.substr(Dots + 2));
      for (long Session = Signed(What.substr(0, Dots)); Session <= Last; ++Session)
        Live().QueueCommand(static_cast<int32_t>(Session), Bytes.data(),
                            static_cast<int32_t>(Bytes.size()));
      return true;
    }
    Rest = What + " " + Rest;
    const std::string Wanted = TakeResult(Rest);
    if (Verb == "notice") {
      if (Manager == nullptr && !Freed) Live();
      return Why = "notice " + Rest + " not as expected", FireNotice(Double, Rest) == (Wanted != "0");
    }
    if (Verb == "release" && What == "background") {  // the case goes on; "join" ends it
      Live();
      Background = std::make_unique<Platform::TThread>();
      return Background->Create(&Releasing, this) && Background->Start();
    }
    if (Verb != "release" && (Verb != "join" || !Background))
      throw std::runtime_error("unknown step " + Verb + " " + Rest);
    if (Verb == "join") Background->WaitForEnd(), Background.reset();
    else Live(), Releasing(this);
    const std::string Within = TakeWord(Rest) == "within" ? Rest : "";  // [within MS] => freed|kept
    Why = std::string("the release ") + (Freed ? "freed" : "kept") + " the manager in " +
          std::to_string(ReleaseMs) + " ms";
    return (Wanted.empty() || Wanted == (Freed ? "freed" : "kept")) &&
           (Within.empty() || ReleaseMs <= Number(Within));
  }

  // Lets the host go, ends the background release, compares the log
  // transcript and frees what is left; false when a check failed on the way.
  bool Finish() {
    Allowed = INT_MAX;
    if (Background) Background->WaitForEnd();
    bool Passed = true;
    if (!Filters.empty() || !Transcript.empty()) {
      std::vector<std::string> Lines;
      for (const std::string& Text : LogLines()) {
        bool Keep = Filters.empty();
        for (const std::string& Prefix : Filters) Keep = Keep || MatchesPattern(Prefix + "{*}", Text);
        if (Keep) Lines.push_back(Text);
      }
      Passed = Lines.size() == Transcript.size();
      for (size_t I = 0; Passed && I < Lines.size(); ++I)
        Passed = MatchesPattern(Transcript[I], Lines[I]);
      if (!Passed) std::printf("FAIL: the log transcript differs; it was:\n");
      for (size_t I = 0; !Passed && I < Lines.size(); ++I)
        std::printf("  %s\n", EscapeBytes(Lines[I]).c_str());
    }
    TTaskHandler::SetTestFaults({});
    if (Manager != nullptr) Releasing(this);
    DoneProcessLog();
    Seam::Reset();
    if (Late > 0) std::printf("FAIL: the host was called after the manager was freed\n");
    return Passed && Late == 0;
  }

 private:
  // The host: counts its calls, holds each beyond the Allowed-th until the
  // case allows more, and takes EachMs over each.
  static void VELMORA_STDCALL HostCallback(int32_t, const char*, const void*, int32_t,
                                           uintptr_t Value) {
    TRelayCase& Case = *reinterpret_cast<TRelayCase*>(Value);
    if (Case.Freed) ++Case.Late;
    Case.LastCallTick = Platform::TickCountMs();
    const int Call = ++Case.Calls;
    while (Call > Case.Allowed.load()) Platform::SleepMs(1);
    if (const uint32_t Ms = Case.EachMs.load()) Platform::SleepMs(Ms);
  }

  TMailerManager& Live() {
    if (Background || Freed) throw std::runtime_error("the manager is being released or was freed");
    if (Manager != nullptr) return *Manager;
    Manager = new TMailerManager(&HostCallback, reinterpret_cast<uintptr_t>(this),
                                 TMailerManager::DefaultIdleTimeout, Limits);
    if (!Double.FireConnect()) throw std::runtime_error("the connect notice was not delivered");
    return *Manager;
  }

  // limits messages N bytes N budget MS awaited N (any of them)
  void SetLimits(std::string Name, std::string Rest) {
    if (Manager != nullptr) throw std::runtime_error("limits after the manager started");
    for (; !Name.empty(); Name = TakeWord(Rest)) {
      const uint32_t Value = Number(TakeWord(Rest));
      if (Name == "messages") Limits.QueuedMessages = Value;
      else if (Name == "bytes") Limits.QueuedMessageBytes = Value;
      else if (Name == "budget") Limits.StopBudgetMs = Value;
      else if (Name == "awaited") Limits.AwaitedRequests = Value;
      else throw std::runtime_error("unknown limit " + Name);
    }
  }

  // The release, on the case's thread or a thread of its own.
  static void Releasing(void* Self) {
    TRelayCase& Case = *static_cast<TRelayCase*>(Self);
    Case.StopTick = Platform::TickCountMs();
    Case.Freed = TMailerManager::Release(Case.Manager);
    Case.ReleaseMs = Platform::TickCountMs() - Case.StopTick;
    if (Case.Freed) Case.Manager = nullptr;
  }

  // wait callbacks N (beyond N fails) | count ENTRY N | queue N [BYTES] | log PATTERN
  bool Wait(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    if (What == "log") {
      return WaitUntil([&] {
        for (const std::string& Text : LogLines())
          if (MatchesPattern(Rest, Text)) return true;
        return false;
      }, WaitMs);
    }
    const std::string First = TakeWord(Rest);
    if (What == "queue") {
      TMailerManager& Target = Live();
      const size_t Messages = Number(First), Bytes = Rest.empty() ? 0 : Number(Rest);
      return WaitUntil([&] {
        return Target.QueuedMessageCount() == Messages && (Rest.empty() || Target.QueuedByteCount() == Bytes);
      }, WaitMs);
    }
    if (What == "count") {
      const long Least = Number(Rest);
      return WaitUntil([&] { return Double.CallCount(First) >= Least; }, WaitMs);
    }
    if (What != "callbacks") throw std::runtime_error("unknown wait " + What);
    const int Wanted = static_cast<int>(Number(First));
    const bool Met = WaitUntil([&] { return Calls >= Wanted; }, WaitMs);
    if (Met) Why = "wait callbacks " + First + ": went on to " + std::to_string(Calls.load());
    return Met && Calls == Wanted;
  }

  bool Expect(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    if (What == "log") return Transcript.push_back(Rest), true;
    if (What == "callbacks") return Why = std::to_string(Calls.load()) + " host calls", InRange(Calls, Rest);
    if (What == "count") {
      const long Count = Double.CallCount(TakeWord(Rest));
      return Why = "called " + std::to_string(Count) + " times", InRange(Count, Rest);
    }
    if (What == "last-callback" && TakeWord(Rest) == "within") {  // of the release's start
      const long After = static_cast<long>(LastCallTick.load() - StopTick);
      Why = "the last call began " + std::to_string(After) + " ms after the release did";
      return After <= Signed(Rest);
    }
    if (What == "seam" && Rest == "fired") return Why = "the armed fault was never met", Seam::Fired();
    if (What == "seam") {  // seam OP N..M [per MS]: calls since the mark, M one more per MS since it
      const long Count = static_cast<long>(Seam::Calls(Operation(TakeWord(Rest))) - Marked);
      const std::string Range = TakeWord(Rest);
      const size_t Dots = Range.find("..");
      const long Extra =
          TakeWord(Rest) == "per" ? static_cast<long>((Platform::TickCountMs() - MarkTick) / Number(Rest)) : 0;
      Why = std::to_string(Count) + " calls";
      return Count >= Signed(Range.substr(0, Dots)) && Count <= Signed(Range.substr(Dots + 2)) + Extra;
    }
    const std::vector<std::string> Lines = LogLines();
    if (What == "log-last") {
      Why = "the last log line is " + (Lines.empty() ? "none" : EscapeBytes(Lines.back()));
      return !Lines.empty() && MatchesPattern(Rest, Lines.back());
    }
    // log-count N[..M] PATTERN; log-sum N TEXT{n}TEXT [+ callbacks]: the numbers add to N
    const std::string Range = TakeWord(Rest);
    const size_t Plus = Rest.rfind(" + callbacks");
    long Found = 0, Sum = Plus == std::string::npos ? 0 : Calls.load();
    if (Plus != std::string::npos) Rest.erase(Plus);
    const size_t Head = What == "log-sum" ? DecodeBytes(Rest.substr(0, Rest.find("{n}"))).size() : 0;
    for (const std::string& Text : Lines) {
      if (!MatchesPattern(Rest, Text)) continue;
      ++Found;
      if (What == "log-sum") Sum += std::stol(Text.substr(Head));  // the digits the pattern matched
    }
    Why = std::to_string(Found) + " log lines match, their numbers add to " + std::to_string(Sum);
    if (What == "log-count") return InRange(Found, Range);
    if (What == "log-sum") return Sum == Signed(Range);
    throw std::runtime_error("unknown expectation " + What);
  }

  // The log's lines, time stamps removed.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> Lines = LogTestSupport::LinesOfAllFilesUnder(Dir.Path());
    for (std::string& Line : Lines) Line.erase(0, 13);
    return Lines;
  }

  TScratchDir Dir;
  TTransportDouble Double;  // outlives the manager
  TRelayLimits Limits;
  TMailerManager* Manager = nullptr;
  std::unique_ptr<Platform::TThread> Background;  // "release background"
  std::atomic<bool> Freed{false};  // by the last release: the host may not be called again
  std::atomic<int> Calls{0}, Allowed{INT_MAX}, Late{0};
  std::atomic<uint32_t> EachMs{0};
  std::atomic<uint64_t> LastCallTick{0};
  uint64_t StopTick = 0, ReleaseMs = 0;  // the last release's start and length
  uint64_t MarkTick = 0, Marked = 0;     // "seam mark": when, and the calls then
  std::vector<std::string> Filters, Transcript;
};

}  // namespace

bool RunRelayCase(const std::vector<TCaseStep>& Steps) {
  TRelayCase Case;
  const bool Played =
      PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) { return Case.Play(Step, Why); });
  return Case.Finish() && Played;
}

}  // namespace TestSupport
