// Playing a case: the steps in order, then the transcripts against the
// expected ones. A wait that runs out, a call that returns the wrong value,
// or an entry point that breaks the host's contract (a callback after
// Finalize_Plugin returned, on the host's own thread, with another name)
// fails the case as well.
#include "tests/support/ScenarioRunner.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "tests/support/DoubleSteps.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

namespace Seam = Platform::FaultSeam;

namespace {

constexpr uint32_t WaitMs = 10000;  // no step of a sound run comes near it
const char* const ChannelNames[] = {"log", "calls", "sent", "callback"};

// The clock every case starts from; "idle" moves it on.
Platform::TDateTime StartInstant() {
  Platform::TDateTime Time;
  Time.Year = 2031, Time.Month = 7, Time.Day = 15, Time.Hour = 10, Time.Minute = 20;
  return Time;
}

std::string HexDecoded(const std::string& Hex) {
  if (Hex == "null") return std::string();
  std::string Bytes;
  for (size_t I = 0; I + 1 < Hex.size(); I += 2) {
    Bytes += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
  }
  return Bytes;
}

}  // namespace

bool TScenarioRunner::Finalize() {
  const uint64_t Start = Platform::TickCountMs();
  Plugin->Finalize();
  FinalizeMs = Platform::TickCountMs() - Start;
  return true;
}

TScenarioRunner::~TScenarioRunner() {
  Released = true;
  Finalizer.Join();
  Plugin.reset();
  TPluginHost::SetInsideCallback(nullptr, nullptr);
  Seam::Reset();
}

bool TScenarioRunner::Run(const std::vector<TCaseStep>& Steps) {
  HostThread = Platform::CurrentThreadId();
  Seam::Reset();
  Seam::SetClockFixed(StartInstant());
  TPluginHost::ClearCalls();
  TPluginHost::SetInsideCallback(&Inside, this);
  for (const TCaseStep& Each : Steps) UsesClock = UsesClock || Each.Verb == "idle";
  for (TCaseStep Each : Steps) {
    Line = Each.Line;
    try {
      bool SkipRest = false;
      if (OwnStep(Each, SkipRest)) Step(Each);
      if (SkipRest) break;
    } catch (const std::exception& Error) {
      Fail(Error.what());
      return false;  // later steps depend on this one
    }
  }
  Line = 0;
  if (Finalizer.Running()) Fail("a Finalize_Plugin started with async was never joined");
  CheckAtEnd();
  if (Plugin && SettingsFolder) {
    std::filesystem::remove(Platform::ToNativePath(Plugin->SettingsPath()));
  }
  Plugin.reset();
  if (LateCalls != 0) Fail("the host was called after Finalize_Plugin returned");
  return !Failed;
}

void TScenarioRunner::Fail(const std::string& What) {
  Failed = true;
  std::printf("FAIL%s: %s\n", Line > 0 ? (" at line " + std::to_string(Line)).c_str() : "",
              What.c_str());
}

TPluginHost& TScenarioRunner::Host() {
  if (!Plugin) {
    // The product itself, unless the case moves the clock: the seam build then.
    Plugin = std::make_unique<TPluginHost>(SettingsText, DebugSetting,
                                           UsesClock ? BinaryDir() + "seam\\" : std::string());
    if (SettingsFolder)
      std::filesystem::create_directory(Platform::ToNativePath(Plugin->SettingsPath()));
  }
  return *Plugin;
}

void TScenarioRunner::Step(const TCaseStep& Step) {
  std::string Rest = Step.Rest;
  const std::string& Verb = Step.Verb;
  if (Verb == "settings" || Verb == "settings-folder" || Verb == "host-debug")
    return Setup(Verb, Rest);
  if (Verb == "call") return Call(Rest);
  if (Verb == "notice") return Notice(Rest);
  if (Verb == "double") return ScriptDouble(Double, Rest);
  if (Verb == "wait") return Wait(Rest);
  if (Verb == "expect") return Expect(Rest);
  if (Verb == "sleep") return Platform::SleepMs(Number(Rest));
  Control(Verb, Rest);
}

void TScenarioRunner::Control(const std::string& Verb, std::string Rest) {
  if (Verb == "release") {
    Released = true;
    return;
  }
  if (Verb == "join") {  // join [within MS]: the Finalize_Plugin started with "call Finalize async"
    if (!Finalizer.Running()) throw std::runtime_error("no Finalize to join");
    Finalizer.Join();
    Active = false;
    if (TakeWord(Rest) == "within" && FinalizeMs > Number(Rest))
      Fail("Finalize_Plugin took " + std::to_string(FinalizeMs) + " ms, more than " + Rest);
    return;
  }
  if (Verb == "idle") {  // "idle N s": the clock moves on, the worker's idle wait ends
    const int64_t Seconds = Signed(TakeWord(Rest));
    ClockMs += Seconds * 1000;
    Seam::SetClockFixed(Seam::AddMilliseconds(StartInstant(), ClockMs));
    Seam::ExpireIdleWait();
    Platform::SleepMs(50);  // the worker takes the expiry (or has no wait to end)
    return;
  }
  if (Verb == "on-callback") {
    TAction Action;
    const std::string Session = TakeWord(Rest);
    Action.Any = Session == "any";
    Action.Session = Action.Any ? 0 : Signed(Session);
    Action.Kind = TakeWord(Rest);
    if (Action.Kind == "command") {
      Action.CommandSession = Signed(TakeWord(Rest));
      Action.CommandBytes = DecodeBytes(Rest);
    }
    Platform::TLockGuard Guard(Lock);
    Actions.push_back(Action);
    return;
  }
  if (Verb == "log" || Verb == "calls") {  // "log only PREFIX": the channel keeps those lines
    if (TakeWord(Rest) != "only") throw std::runtime_error("expected: " + Verb + " only PREFIX");
    const TChannel Channel = Verb == "log" ? Log : Calls;
    Filters[Channel].push_back(Rest);
    Compared[Channel] = true;
    return;
  }
  throw std::runtime_error("unknown step " + Verb);
}

void TScenarioRunner::Setup(const std::string& Verb, std::string Rest) {
  if (Plugin) throw std::runtime_error(Verb + " after the plug-in was loaded");
  if (Verb == "settings") SettingsText = DecodeBytes(Rest);
  if (Verb == "settings-folder") SettingsFolder = true;
  if (Verb == "host-debug") DebugSetting = DecodeBytes(Rest);
}

void TScenarioRunner::Call(std::string Rest) {
  const std::string Wanted = TakeResult(Rest);
  const std::string Entry = TakeWord(Rest);
  std::string Got;
  const auto Named = [&](const char* Text) {
    if (Name == nullptr) Name = Text;
    if (Text != Name) Fail(Entry + " returned another name pointer than before");
    Got = Text != nullptr ? Text : "(null)";
  };
  if (Entry == "Init") {
    const uintptr_t UserValue = std::stoull(TakeWord(Rest), nullptr, 0);
    const bool NullCallback = TakeWord(Rest) == "null-callback";
    TPluginHost& Target = Host();
    Active = true;
    Named(Target.Init(UserValue, NullCallback));
  } else if (Entry == "GetName") {
    Named(Host().GetName());
  } else if (Entry == "Command") {
    const int32_t Session = Signed(TakeWord(Rest));
    std::string Buffer = DecodeBytes(Rest);
    Got = std::to_string(Host().Command(Session, Buffer));
    Buffer.assign(Buffer.size(), 'Z');  // the host's again once the call returned
  } else if (Entry == "CommandRaw") {   // CommandRaw SESSION BYTES|null LENGTH
    const int32_t Session = Signed(TakeWord(Rest));
    const std::string Data = TakeWord(Rest);
    const std::string Bytes = DecodeBytes(Data);
    const uint32_t Length = static_cast<uint32_t>(Number(Rest));
    Got =
        std::to_string(Host().CommandRaw(Session, Data == "null" ? nullptr : Bytes.data(), Length));
  } else if (Entry == "Finalize") {  // Finalize [within MS | async]: async ends with "join"
    Host();
    if (TakeWord(Rest) == "async") {
      if (Finalizer.Start([this] { return Finalize(); })) return;
      throw std::runtime_error("cannot start the Finalize_Plugin thread");
    }
    Finalize();
    Active = false;
    if (!Rest.empty() && FinalizeMs > Number(Rest)) Fail("Finalize_Plugin took too long");
  } else {
    throw std::runtime_error("unknown entry " + Entry);
  }
  std::string Why;
  if (!Wanted.empty() && !ResultCheck(Entry, Got, Wanted, Why)) Fail(Why);
}

void TScenarioRunner::Notice(std::string Rest) {
  const std::string Wanted = TakeResult(Rest);
  Host();
  const bool Delivered = FireNotice(Double, Rest);
  if (Delivered != (Wanted != "0")) Fail("notice " + Rest + (Delivered ? "" : " not") + " delivered");
}

void TScenarioRunner::Wait(std::string Rest) {
  const std::string What = TakeWord(Rest);
  bool Met = false;
  if (What == "sent") {  // wait sent N: the double has taken N sends
    const int32_t Count = Signed(Rest);
    Met = WaitUntil([&] { return Double.CallCount("SendToServer") >= Count; }, WaitMs);
  } else if (What == "callbacks") {
    const size_t Count = Number(Rest);
    Met = WaitUntil([&] { return TPluginHost::Calls().size() >= Count; }, WaitMs);
  } else if (What == "held") {
    Met = WaitUntil([&] { return Held.load(); }, WaitMs);
  } else if (What == "log") {  // wait log PATTERN: a line matches
    Met = WaitUntil([&] { return CountMatching(Host().LogLines(), Rest) > 0; }, WaitMs);
  } else {
    throw std::runtime_error("unknown wait " + What);
  }
  if (!Met) throw std::runtime_error("wait " + What + " " + Rest + ": timed out");
}

void TScenarioRunner::Expect(std::string Rest) {
  std::string What = TakeWord(Rest);
  if (What == "nothing")
    What = TakeWord(Rest);
  else if (What == "log" || What == "calls" || What == "sent" || What == "callback") {
    for (int Channel = 0; Channel < ChannelCount; ++Channel) {
      if (What == ChannelNames[Channel]) Expected[Channel].push_back(Rest);
    }
  } else {
    EndChecks.push_back(What + " " + Rest);
    return;
  }
  for (int Channel = 0; Channel < ChannelCount; ++Channel) {
    if (What == ChannelNames[Channel]) Compared[Channel] = true;
  }
}

void TScenarioRunner::Inside(const TCallbackCall& Call, void* Context) {
  auto* This = static_cast<TScenarioRunner*>(Context);
  if (!This->Active) ++This->LateCalls;
  TAction Due;
  {
    Platform::TLockGuard Guard(This->Lock);
    for (TAction& Action : This->Actions) {
      if (Action.Done || (!Action.Any && Action.Session != Call.SessionACT)) continue;
      Action.Done = true;
      Due = Action;
      break;
    }
  }
  if (Due.Kind == "mark") {
    const size_t Lines = This->Plugin->LogLines().size();
    Platform::TLockGuard Guard(This->Lock);
    This->Marks.push_back({Lines, "@callback " + std::to_string(Call.SessionACT)});
  } else if (Due.Kind == "command") {
    This->Plugin->Command(Due.CommandSession, Due.CommandBytes);
  } else if (Due.Kind == "hold") {
    This->Held = true;
    while (!This->Released) Platform::SleepMs(1);
  }
}

std::vector<std::string> TScenarioRunner::Actual(TChannel Channel) {
  std::vector<std::string> Lines;
  if (Channel == Log) {
    Lines = Host().LogLines();
    Platform::TLockGuard Guard(Lock);
    for (auto Mark = Marks.rbegin(); Mark != Marks.rend(); ++Mark) {
      Lines.insert(Lines.begin() + static_cast<long>(std::min(Mark->first, Lines.size())),
                   Mark->second);
    }
  } else if (Channel == Calls || Channel == Sent) {
    const std::string Log = Double.CallLog();
    for (size_t Start = 0, End; (End = Log.find('\n', Start)) != std::string::npos;
         Start = End + 1) {
      std::string Call = Log.substr(Start, End - Start);
      if (Call.rfind("SendToServer(", 0) == 0) {  // the bytes, raw as the patterns are
        const size_t First = Call.find(','), Last = Call.rfind(',');
        const std::string Bytes = HexDecoded(Call.substr(First + 1, Last - First - 1));
        if (Channel == Sent)
          Lines.push_back(Bytes);
        else
          Lines.push_back(Call.substr(0, First + 1) +
                          (Call.compare(First + 1, 4, "null") == 0 ? "null" : Bytes) +
                          Call.substr(Last));
      } else if (Channel == Calls) {
        Lines.push_back(Call);
      }
    }
  } else {
    for (const TCallbackCall& Call : TPluginHost::Calls()) {
      Lines.push_back(std::to_string(Call.SessionACT) + " " + std::to_string(Call.UserValue) + " " +
                      Call.Data);
    }
  }
  if (Filters[Channel].empty()) return Lines;
  std::vector<std::string> Kept;
  for (const std::string& Text : Lines) {
    bool Keep = Text.rfind("@callback ", 0) == 0;
    for (const std::string& Prefix : Filters[Channel])
      Keep = Keep || MatchesPattern(Prefix + "{*}", Text);
    if (Keep) Kept.push_back(Text);
  }
  return Kept;
}

void TScenarioRunner::CheckAtEnd() {
  std::set<uint32_t> Workers;
  for (const TCallbackCall& Call : TPluginHost::Calls()) {
    Workers.insert(Call.ThreadId);
    if (Call.ThreadId == HostThread) Fail("a callback ran on the host's own thread");
    if (Call.PluginNamePointer != Name || Call.PluginName != "Velmora")
      Fail("a callback named another plug-in: " + Call.PluginName);
  }
  for (int Channel = 0; Channel < ChannelCount; ++Channel) {
    if (!Compared[Channel]) continue;
    const std::vector<std::string> Lines = Actual(static_cast<TChannel>(Channel));
    const std::vector<std::string>& Wanted = Expected[Channel];
    bool Same = Lines.size() == Wanted.size();
    for (size_t I = 0; Same && I < Lines.size(); ++I) Same = MatchesPattern(Wanted[I], Lines[I]);
    if (Same && !ShowAll) continue;
    if (!Same) Fail(std::string("the ") + ChannelNames[Channel] + " transcript differs");
    std::printf("--- %s: expected | actual\n", ChannelNames[Channel]);
    for (size_t I = 0; I < std::max(Lines.size(), Wanted.size()); ++I) {
      const std::string Left = I < Wanted.size() ? Wanted[I] : "";
      const std::string Right = I < Lines.size() ? EscapeBytes(Lines[I]) : "";
      const bool Match =
          I < Wanted.size() && I < Lines.size() && MatchesPattern(Wanted[I], Lines[I]);
      std::printf("%c %s\n  %s\n", Match ? ' ' : '!', Left.c_str(), Right.c_str());
    }
  }
  for (std::string Check : EndChecks) {
    const std::string What = TakeWord(Check);
    try {
      EndCheck(What, Check, Workers.size());
    } catch (const std::exception& Error) {
      Fail(What + ": " + Error.what());
    }
  }
}

void TScenarioRunner::EndCheck(const std::string& What, std::string Check, size_t Workers) {
  if (What == "count") {  // count ENTRY N[..M]: the double's calls of ENTRY
    const std::string Entry = TakeWord(Check);
    const long Calls = Double.CallCount(Entry);
    if (!InRange(Calls, Check))
      Fail(Entry + " was called " + std::to_string(Calls) + " times, expected " + Check);
  } else if (What == "log-count") {  // log-count N[..M] PATTERN
    const std::string Range = TakeWord(Check);
    const long Found = CountMatching(Host().LogLines(), Check);
    if (!InRange(Found, Range))
      Fail(std::to_string(Found) + " log lines match " + Check + ", expected " + Range);
  } else if (What == "settings-file" || What == "settings-has") {
    std::string Why;
    const std::string How = What == "settings-has" ? "has " : "is ";
    if (!TextExpect("the settings file", How + Check, ReadFileBytes(Host().SettingsPath()), Why)) Fail(Why);
  } else if (What == "log-order") {  // log-order A << B: the first line matching A comes first
    const size_t Split = Check.find(" << ");
    if (Split == std::string::npos) throw std::runtime_error("log-order needs A << B");
    const std::vector<std::string> Lines = Host().LogLines();
    const auto First = [&](const std::string& Pattern) {
      size_t At = 0;
      while (At < Lines.size() && !MatchesPattern(Pattern, Lines[At])) ++At;
      return At;
    };
    const size_t A = First(Check.substr(0, Split)), B = First(Check.substr(Split + 4));
    if (A >= B || A == Lines.size()) Fail("the log does not have " + Check);
  } else if (What == "log-sum") {  // log-sum N TEXT{n}TEXT [+ callbacks]: the numbers add to N
    const long Wanted = Signed(TakeWord(Check));
    const size_t Plus = Check.rfind(" + callbacks");
    long Sum = Plus == std::string::npos ? 0 : static_cast<long>(TPluginHost::Calls().size());
    if (Plus != std::string::npos) Check.erase(Plus);
    const std::string Head = DecodeBytes(Check.substr(0, Check.find("{n}")));
    for (const std::string& Text : Host().LogLines()) {
      if (MatchesPattern(Check, Text)) Sum += std::stol(Text.substr(Head.size()));
    }
    if (Sum != Wanted)
      Fail("the numbers add to " + std::to_string(Sum) + ", not " + std::to_string(Wanted));
  } else if (What == "worker-threads") {
    if (Workers != Number(Check))
      Fail("callbacks came on " + std::to_string(Workers) + " threads");
  } else {
    Fail("unknown expectation " + What);
  }
}

}  // namespace TestSupport
