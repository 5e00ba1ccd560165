// Relay-manager cases: the manager's limits, the host's pace, the double's
// notices, the stop, and checks of the log, the host's calls and the queue.
#include "tests/support/RelayCases.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "relay/MailerManager.h"
#include "relay/TaskHandler.h"
#include "tests/support/DoubleSteps.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

namespace TestSupport {

namespace {

constexpr uint32_t WaitMs = 10000;  // no step of a sound run comes near it

// The host's side: counts its calls, holds each one beyond the Allowed-th
// until the case allows more, and takes EachMs over each.
struct THost {
  std::atomic<int> Calls{0}, Allowed{INT_MAX}, Late{0};
  std::atomic<uint32_t> EachMs{0};
  std::atomic<uint64_t> LastCallTick{0};
  std::atomic<bool> Freed{false};  // a release freed the manager: no call may follow
};

void VELMORA_STDCALL HostCallback(int32_t, const char*, const void*, int32_t, uintptr_t Value) {
  THost& Host = *reinterpret_cast<THost*>(Value);
  if (Host.Freed) ++Host.Late;
  Host.LastCallTick = Platform::TickCountMs();
  const int Call = ++Host.Calls;
  while (Call > Host.Allowed.load()) Platform::SleepMs(1);
  if (const uint32_t Ms = Host.EachMs.load()) Platform::SleepMs(Ms);
}

bool RefuseStop(const TTaskRecord* Task) { return TaskKind(Task) == TaskStop; }

class TRelayCase {
 public:
  TRelayCase() {
    CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
    Double.SetAutoDisconnect(true);  // the stop has its notice at once
  }

  bool Play(const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = Step.Rest;
    if (Verb == "kind" || Verb == "label") return true;
    if (Verb == "expect") return Expect(Rest, Why);
    if (Verb == "wait") return Wait(Rest, Why);
    if (Verb == "double") return ScriptDouble(Double, Rest), true;
    if (Verb == "sleep") return Platform::SleepMs(static_cast<uint32_t>(std::stoul(Rest))), true;
    if (Verb == "log" && TakeWord(Rest) == "only") return Filters.push_back(Rest), true;
    if (Verb == "limits") return SetLimits(Rest), true;
    if (Verb == "worker-fault") return SetFaults(Rest), true;
    if (Verb == "host") {  // host hold-after N | allow all | each MS
      const std::string What = TakeWord(Rest);
      if (What == "hold-after") Host.Allowed = std::stoi(Rest);
      else if (What == "allow" && Rest == "all") Host.Allowed = INT_MAX;
      else if (What == "each") Host.EachMs = static_cast<uint32_t>(std::stoul(Rest));
      else throw std::runtime_error("unknown host step " + What);
      return true;
    }
    if (Verb == "command") {  // command S[..T] BYTES: one for each session S to T
      const std::string Sessions = TakeWord(Rest), Bytes = DecodeBytes(Rest);
      const size_t Dots = Sessions.find("..");
      const int First = std::stoi(Sessions);
      const int Last = Dots == std::string::npos ? First : std::stoi(Sessions.substr(Dots + 2));
      for (int32_t Session = First; Session <= Last; ++Session)
        Live().QueueCommand(Session, Bytes.data(), static_cast<int32_t>(Bytes.size()));
      return true;
    }
    const std::string Wanted = TakeResult(Rest);
    if (Verb == "notice") {
      if (Manager == nullptr && !Freed) Live();
      Why = "notice " + Rest + " not as expected";
      return FireNotice(Double, Rest) == (Wanted != "0");
    }
    if (Verb == "release" && Rest == "background") {  // the case goes on; "join" ends it
      Live();
      Background = std::make_unique<Platform::TThread>();
      return Background->Create(&Releasing, this) && Background->Start();
    }
    if (Verb == "release" || (Verb == "join" && Background)) {  // [within MS] => freed|kept
      if (Verb == "join") Background->WaitForEnd(), Background.reset();
      else Live(), ReleaseNow();
      const std::string Within = TakeWord(Rest) == "within" ? Rest : "";
      Why = std::string("the release ") + (Freed ? "freed" : "kept") + " the manager in " +
            std::to_string(ReleaseMs) + " ms";
      return (Wanted.empty() || Wanted == (Freed ? "freed" : "kept")) &&
             (Within.empty() || ReleaseMs <= std::stoull(Within));
    }
    throw std::runtime_error("unknown step " + Verb + " " + Rest);
  }

  // Ends the background release, compares the log transcript, lets the
  // host go and frees what is left; false when a check failed on the way.
  bool Finish() {
    if (Background) Background->WaitForEnd();
    bool Passed = Filters.empty() && Transcript.empty() ? true : SameTranscript();
    Host.Allowed = INT_MAX;
    TTaskHandler::SetTestFaults({});
    if (Manager != nullptr) ReleaseNow();
    DoneProcessLog();
    if (Host.Late.load() > 0) std::printf("FAIL: the host was called after the manager was freed\n");
    return Passed && Host.Late.load() == 0;
  }

 private:
  TMailerManager& Live() {
    if (Background) throw std::runtime_error("the manager is being released");
    if (Freed) throw std::runtime_error("the manager was freed");
    if (Manager != nullptr) return *Manager;
    Manager = new TMailerManager(&HostCallback, reinterpret_cast<uintptr_t>(&Host),
                                 TMailerManager::DefaultIdleTimeout, Limits);
    if (!Double.FireConnect()) throw std::runtime_error("the connect notice was not delivered");
    return *Manager;
  }

  // limits messages N bytes N budget MS awaited N (any of them)
  void SetLimits(std::string Rest) {
    if (Manager != nullptr) throw std::runtime_error("limits after the manager started");
    while (!Rest.empty()) {
      const std::string Name = TakeWord(Rest);
      const unsigned long long Value = std::stoull(TakeWord(Rest));
      if (Name == "messages") Limits.QueuedMessages = static_cast<uint32_t>(Value);
      else if (Name == "bytes") Limits.QueuedMessageBytes = static_cast<size_t>(Value);
      else if (Name == "budget") Limits.StopBudgetMs = static_cast<uint32_t>(Value);
      else if (Name == "awaited") Limits.AwaitedRequests = static_cast<size_t>(Value);
      else throw std::runtime_error("unknown limit " + Name);
    }
  }

  // worker-fault refuse-stop [fail-wait] | none: the worker's stop record
  // cannot be queued, its end cannot be waited for.
  static void SetFaults(std::string Rest) {
    TTaskHandler::TTestFaults Faults;
    for (std::string Word; !(Word = TakeWord(Rest)).empty();) {
      if (Word == "refuse-stop") Faults.RefuseTask = &RefuseStop;
      else if (Word == "fail-wait") Faults.FailWait = true;
      else if (Word != "none") throw std::runtime_error("unknown worker fault " + Word);
    }
    TTaskHandler::SetTestFaults(Faults);
  }

  void ReleaseNow() {
    StopTick = Platform::TickCountMs();
    Freed = TMailerManager::Release(Manager);
    ReleaseMs = Platform::TickCountMs() - StopTick;
    if (Freed) Manager = nullptr, Host.Freed = true;
  }
  static void Releasing(void* Self) { static_cast<TRelayCase*>(Self)->ReleaseNow(); }

  // wait callbacks N (beyond N fails) | count ENTRY N | queue N [BYTES] | log PATTERN
  bool Wait(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    Why = "wait " + What + " " + Rest + ": timed out";
    if (What == "log") {
      return WaitUntil([&] {
        for (const std::string& Text : LogLines())
          if (MatchesPattern(Rest, Text)) return true;
        return false;
      }, WaitMs);
    }
    if (What == "queue") {
      const uint32_t Count = static_cast<uint32_t>(std::stoul(TakeWord(Rest)));
      TMailerManager& Target = Live();
      return WaitUntil([&] {
        return Target.QueuedMessageCount() == Count &&
               (Rest.empty() || Target.QueuedByteCount() == std::stoull(Rest));
      }, WaitMs);
    }
    if (What == "count") {
      const std::string Entry = TakeWord(Rest);
      return WaitUntil([&] { return Double.CallCount(Entry) >= std::stoi(Rest); }, WaitMs);
    }
    if (What != "callbacks") throw std::runtime_error("unknown wait " + What);
    const bool Met = WaitUntil([&] { return Host.Calls.load() >= std::stoi(Rest); }, WaitMs);
    if (Met) Why = "wait callbacks " + Rest + ": went on to " + std::to_string(Host.Calls.load());
    return Met && Host.Calls.load() == std::stoi(Rest);
  }

  bool Expect(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    if (What == "log") return Transcript.push_back(Rest), true;
    if (What == "callbacks") {
      Why = "the host was called " + std::to_string(Host.Calls.load()) + " times";
      return InRange(Host.Calls.load(), Rest);
    }
    if (What == "count") {
      const std::string Entry = TakeWord(Rest);
      Why = Entry + " was called " + std::to_string(Double.CallCount(Entry)) + " times";
      return InRange(Double.CallCount(Entry), Rest);
    }
    if (What == "last-callback" && TakeWord(Rest) == "within") {  // of the release's start
      const long After = static_cast<long>(Host.LastCallTick.load() - StopTick);
      Why = "the last callback began " + std::to_string(After) + " ms after the release";
      return After <= std::stol(Rest);
    }
    const std::vector<std::string> Lines = LogLines();
    if (What == "log-last") {
      Why = "the last log line is " + (Lines.empty() ? "none" : EscapeBytes(Lines.back()));
      return !Lines.empty() && MatchesPattern(Rest, Lines.back());
    }
    if (What == "log-count") {  // log-count N[..M] PATTERN
      const std::string Range = TakeWord(Rest);
      long Found = 0;
      for (const std::string& Text : Lines) Found += MatchesPattern(Rest, Text) ? 1 : 0;
      Why = std::to_string(Found) + " log lines match";
      return InRange(Found, Range);
    }
    if (What == "log-sum") {  // log-sum N TEXT{n}TEXT [+ callbacks]: the numbers add to N
      const long Wanted = std::stol(TakeWord(Rest));
      const size_t Plus = Rest.rfind(" + callbacks");
      long Sum = Plus == std::string::npos ? 0 : Host.Calls.load();
      if (Plus != std::string::npos) Rest.erase(Plus);
      const std::string Head = DecodeBytes(Rest.substr(0, Rest.find("{n}")));
      for (const std::string& Text : Lines)
        if (MatchesPattern(Rest, Text)) Sum += std::stol(Text.substr(Head.size()));
      Why = "the numbers add to " + std::to_string(Sum);
      return Sum == Wanted;
    }
    throw std::runtime_error("unknown expectation " + What);
  }

  // The log's lines, time stamps removed; a line still being written is left out.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> Lines;
    std::error_code Error;
    for (const auto& Entry :
         std::filesystem::recursive_directory_iterator(Platform::ToNativePath(Dir.Path()), Error)) {
      if (!Entry.is_regular_file()) continue;
      const std::string Bytes = ReadFileBytes(Platform::FromNativePath(Entry.path().string()));
      for (size_t Start = 0, End; (End = Bytes.find("\r\n", Start)) != std::string::npos;
           Start = End + 2) {
        const std::string Line = Bytes.substr(Start, End - Start);
        Lines.push_back(Line.size() >= 13 ? Line.substr(13) : Line);
      }
    }
    return Lines;
  }

  // The lines that start with a "log only" prefix (all without one) against
  // the "expect log" patterns, both printed when they differ.
  bool SameTranscript() const {
    std::vector<std::string> Lines;
    for (const std::string& Text : LogLines()) {
      bool Keep = Filters.empty();
      for (const std::string& Prefix : Filters) Keep = Keep || MatchesPattern(Prefix + "{*}", Text);
      if (Keep) Lines.push_back(Text);
    }
    bool Same = Lines.size() == Transcript.size();
    for (size_t I = 0; Same && I < Lines.size(); ++I) Same = MatchesPattern(Transcript[I], Lines[I]);
    if (Same) return true;
    std::printf("FAIL: the log transcript differs\n--- log: expected | actual\n");
    for (size_t I = 0; I < std::max(Lines.size(), Transcript.size()); ++I) {
      std::printf("  %s\n  %s\n", I < Transcript.size() ? Transcript[I].c_str() : "",
                  I < Lines.size() ? EscapeBytes(Lines[I]).c_str() : "");
    }
    return false;
  }

  TScratchDir Dir;
  TTransportDouble Double;  // outlives the manager
  THost Host;
  TRelayLimits Limits;
  TMailerManager* Manager = nullptr;
  std::unique_ptr<Platform::TThread> Background;  // "release background"
  std::atomic<bool> Freed{false};
  uint64_t StopTick = 0, ReleaseMs = 0;  // the last release's start and length
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
