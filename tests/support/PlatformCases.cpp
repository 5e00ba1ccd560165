// Platform cases: each step one call of the platform interface, its result
// text checked as it comes.
#include "tests/support/CaseKinds.h"

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

namespace {

using namespace Platform;

const char* const WaitNames[] = {"signaled", "timeout", "failed"};       // TWaitResult
const char* const EitherNames[] = {"first", "second", "timeout", "failed"};  // TWhichEvent

// What a failed call left: "null error 126".
std::string Failure(const char* What) { return std::string(What) + " error " + std::to_string(LastError()); }
// A number, or "infinite" (a wait without limit).
uint32_t Numeric(const std::string& Word) { return Word == "infinite" ? Infinite : Number(Word); }

// A library the case loaded ("null": none) and the test library's entries found in it
// (tests/platform_test_lib.cpp), each with its own type.
struct TEntries {
  TLibrary Library = nullptr;
  int (*Answer)(int) = nullptr;
  unsigned (*ModulePath)(char*, unsigned) = nullptr;
  uint32_t (*GetError)() = nullptr;
  void (*SetError)(uint32_t) = nullptr;
};
// Map[Name], which a step before must have made.
template <typename TMap>
auto& Find(TMap& Map, const std::string& Name) {
  const auto Found = Map.find(Name);
  return Found != Map.end() ? Found->second : throw std::runtime_error("nothing named " + Name);
}

template <typename TEntry>
bool LookUp(TLibrary Library, const std::string& Name, TEntry& Entry) {
  return (Entry = LibraryEntryPoint<TEntry>(Library, Name.c_str())) != nullptr;
}

class TPlatformCase {
 public:
  ~TPlatformCase() {
    Thread.Join();
    for (const auto& File : Files) CloseFile(File.second);
    for (TLibrary Library : Loaded) UnloadLibrary(Library);
  }

  // Took: how long the previous step of the playing thread took (each thread its own, not a
  // thread_local: its first use on Win32 may clear the thread's last error).
  bool Play(const TCaseStep& Step, std::string& Why, uint64_t& Took) {
    const std::string& Verb = Step.Verb;
    if (Collecting && Verb != "start" && Verb != "join") return Block.push_back(Step), true;
    // %BIN%: the runner's and the test libraries' folder, looked up only where named (the lookup
    // may change the thread's last error)
    std::string Rest = Step.Rest;
    if (Rest.find("%BIN%") != std::string::npos) Rest = Replaced(Rest, "%BIN%", EscapeBytes(BinaryDir()));
    if (Verb == "thread") return Why = "one thread at a time", !Thread.Running() && (Collecting = true);
    if (Verb == "start") return Why = "no thread", Start();
    if (Verb == "join") return Why = "a step on the other thread failed", Start() && Thread.Join();
    if (Verb == "expect") return Expect(Rest, Why, Took);
    const size_t Length = Rest.size();
    const std::string Wanted = TakeResult(Rest);
    const uint64_t Start = TickCountMs();
    const std::string Got = Act(Verb, Rest);
    Took = TickCountMs() - Start;
    return Rest.size() == Length || ResultCheck(Rest.empty() ? Verb : Verb + " " + Rest, Got, Wanted, Why);
  }

 private:
  std::string Act(const std::string& Verb, std::string Rest) {
    if (Verb == "load" || Verb == "fallback") {  // load NAME PATH
      const std::string Name = TakeWord(Rest), Path = DecodeBytes(Rest);
      SetLastError(0);
      const TLibrary Library = Verb == "load" ? LoadLibraryByName(Path) : LoadLibraryFallback(Path);
      if (Library == nullptr) return Failure("null");
      Loaded.push_back(Library);
      Values[Name] = std::to_string(reinterpret_cast<uintptr_t>(Entries[Name].Library = Library));
      return "loaded";
    }
    if (Verb == "entry") {  // entry LIBRARY|null NAME, typed as the test library defines it
      const std::string Name = TakeWord(Rest);
      TEntries& Own = Name == "null" ? Entries[Name] : Find(Entries, Name);
      const TLibrary Handle = Own.Library;
      int (*Other)(int) = nullptr;
      SetLastError(0);
      const bool Found = Rest == "PlatformTestModulePath"   ? LookUp(Handle, Rest, Own.ModulePath)
                         : Rest == "PlatformTestLastError"    ? LookUp(Handle, Rest, Own.GetError)
                         : Rest == "PlatformTestSetLastError" ? LookUp(Handle, Rest, Own.SetError)
                         : LookUp(Handle, Rest, Rest == "PlatformTestAnswer" ? Own.Answer : Other);
      return Found ? "found" : Failure("null");
    }
    if (Verb == "call") {  // call LIBRARY ENTRY [ARGUMENT]: one found before, the last error untouched
      const TEntries& Own = Find(Entries, TakeWord(Rest));
      const std::string Name = TakeWord(Rest);
      if (Name == "PlatformTestAnswer" && Own.Answer) return std::to_string(Own.Answer(Signed(Rest)));
      if (Name == "PlatformTestLastError" && Own.GetError) return std::to_string(Own.GetError());
      if (Name == "PlatformTestSetLastError" && Own.SetError) return Own.SetError(Numeric(Rest)), "";
      throw std::runtime_error(Name + " was not found before");
    }
    if (Verb == "module") {  // module NAME host-exe|own|LIBRARY [CHARS], kept as NAME
      const std::string Name = TakeWord(Rest), Which = TakeWord(Rest);
      const uint32_t Chars = Rest.empty() ? 0 : Numeric(Rest);
      std::string Path;
      if (Which == "host-exe" || Which == "own") {
        Path = Which == "own" ? (Chars ? OwnModulePath(Chars) : OwnModulePath())
                              : (Chars ? HostExePath(Chars) : HostExePath());
      } else if (const auto ModulePath = Find(Entries, Which).ModulePath) {
        char Buffer[1024];
        Path.assign(Buffer, ModulePath(Buffer, sizeof Buffer));
      }
      if (Path.find('/') != std::string::npos) throw std::runtime_error("not in Windows form: " + Path);
      return Values[Name] = Path;
    }
    if (Verb == "parts") return DirectoryPart(DecodeBytes(Rest)) + "|" + FileNamePart(DecodeBytes(Rest));
    if (Verb == "round-trip") return FromNativePath(ToNativePath(DecodeBytes(Rest)));
    if (Verb == "append") {  // append PATH BYTES: open, seek, write and close, each must succeed
      const std::string Path = InFolder(TakeWord(Rest)), Bytes = DecodeBytes(Rest);
      const TFile File = OpenForAppend(Path);
      const bool Written = File != InvalidFile && SeekToEnd(File) &&
                           WriteToFile(File, Bytes.data(), static_cast<uint32_t>(Bytes.size()));
      const std::string Why = Failure("append");
      if (File != InvalidFile) CloseFile(File);
      return Written ? "" : throw std::runtime_error(Why);
    }
    if (Verb == "open") {  // open NAME PATH
      const std::string Name = TakeWord(Rest);
      SetLastError(0);
      const TFile File = OpenForAppend(InFolder(Rest));
      if (File == InvalidFile) return Failure("invalid");
      return Files[Name] = File, "opened";
    }
    if (Verb == "seek") return Flag(SeekToEnd(Find(Files, Rest)));
    if (Verb == "write") {  // write NAME BYTES
      const TFile File = Find(Files, TakeWord(Rest));
      const std::string Bytes = DecodeBytes(Rest);
      return Flag(WriteToFile(File, Bytes.data(), static_cast<uint32_t>(Bytes.size())));
    }
    if (Verb == "close") return CloseFile(Find(Files, Rest)), Files.erase(Rest), "";
    if (Verb == "mkdir") return SetLastError(0), CreateOneDirectory(InFolder(Rest)) ? "1" : Failure("0");
    if (Verb == "exists") return Flag(DirectoryExists(InFolder(Rest)));
    if (Verb == "set-error") return SetLastError(Numeric(Rest)), "";
    if (Verb == "error") return std::to_string(LastError());
    if (Verb == "system-text") {  // as the system gives it, at most 256 characters
      const std::string Text = SystemErrorText(Numeric(Rest));
      return Text.size() <= 256 ? Text : throw std::runtime_error("too long: " + Text);
    }
    if (Verb == "trimmed-text") {  // the system's text trimmed by the one rule
      const std::string Text = TrimmedSystemText(Numeric(Rest));
      const bool ByTheRule = Text == TrimSystemText(SystemErrorText(Numeric(Rest)));
      return ByTheRule ? Text : throw std::runtime_error("not the system text trimmed: " + Text);
    }
    if (Verb == "trim") return TrimSystemText(DecodeBytes(Rest));
    if (Verb == "semaphore") {  // semaphore new INITIAL MAXIMUM, semaphore wait MS, semaphore release [N]
      const std::string What = TakeWord(Rest), First = TakeWord(Rest);
      try {
        if (What == "new") Semaphore = std::make_unique<TSemaphore>(Signed(First), Signed(Rest));
        if (What == "new") return "made";
      } catch (const std::runtime_error&) {
        return "throws";
      }
      if (Semaphore && What == "wait") return WaitNames[static_cast<int>(Semaphore->Wait(Numeric(First)))];
      if (Semaphore && What == "release") return Flag(Semaphore->Release(First.empty() ? 1 : Numeric(First)));
    }
    if (Verb == "event") {  // event NAME set|reset|is-set|wait MS
      TEvent& Event = Named(TakeWord(Rest));
      const std::string What = TakeWord(Rest);
      if (What == "set" || What == "reset") return What == "set" ? Event.Set() : Event.Reset(), "";
      if (What == "is-set") return Flag(Event.IsSet());
      if (What == "wait") return WaitNames[static_cast<int>(Event.Wait(Numeric(Rest)))];
    }
    if (Verb == "either") {  // either FIRST SECOND MS
      TEvent& First = Named(TakeWord(Rest));
      TEvent& Second = Named(TakeWord(Rest));
      return EitherNames[static_cast<int>(WaitForEither(First, Second, Numeric(Rest)))];
    }
    if (Verb == "sleep") return SleepMs(Numeric(Rest)), "";
    if (Verb == "lock" && (Rest == "enter" || Rest == "leave"))  // the case's critical section
      return Rest == "enter" ? Lock.Enter() : Lock.Leave(), "";
    if (Verb == "same-text" || Verb == "same-letters") {  // same-letters: byte by byte, each at its place
      const std::vector<std::string> F = SplitFields(Rest);
      if (F.size() != 2 || (Verb == "same-letters" && F[0].size() != F[1].size()))
        throw std::runtime_error("two texts (of one length) expected");
      if (Verb == "same-text") return Flag(SameTextNoCase(F[0], F[1]));
      for (size_t I = 0; I < F[0].size(); ++I)
        if (!SameTextNoCase(F[0].substr(I, 1), F[1].substr(I, 1))) return "0 at " + std::to_string(I);
      return "1";
    }
    throw std::runtime_error("unknown step " + Verb + " " + Rest);
  }

  bool Expect(std::string Rest, std::string& Why, uint64_t Took) {
    const std::string What = TakeWord(Rest);
    if (What == "took") return TookCheck(Took, Rest, Why);
    if (What == "file") {  // file PATH is|has|lacks|starts PATTERN
      const std::string Text = ReadFileBytes(InFolder(TakeWord(Rest)));
      return TextExpect("file", Rest, Text, Why);
    }
    if (What == "same" || What == "cut") {  // same A B ...: one handle or path; cut A B N: A is B's first N
      const std::string First = Find(Values, TakeWord(Rest)), Second = Find(Values, TakeWord(Rest));
      Why = What + ": " + First + " against " + Second;
      if (What == "cut") return First == Second.substr(0, Number(Rest));
      bool Same = First == Second;
      while (!Rest.empty()) Same = Find(Values, TakeWord(Rest)) == First && Same;
      return Same;
    }
    if (What == "now") {  // now YEAR MONTH DAY HOUR MINUTE SECOND MILLISECOND, each a range
      const TDateTime Now = LocalNow();
      bool Plausible = !TimeSeparator().empty();
      Why = "local time or its separator";
      for (const long Field :
           {Now.Year, Now.Month, Now.Day, Now.Hour, Now.Minute, Now.Second, Now.Millisecond}) {
        Why += " " + std::to_string(Field);
        Plausible = InRange(Field, TakeWord(Rest)) && Plausible;
      }
      return Plausible;
    }
    throw std::runtime_error("unknown expectation " + What);
  }

  // The steps between "thread" and "start" (or "join") play on a thread of their own.
  bool Start() {
    if (!Collecting) return true;
    Collecting = false;
    return Thread.Start([this, Steps = std::exchange(Block, {})] {
      uint64_t Took = 0;
      return PlaySteps(Steps, [this, &Took](const TCaseStep& Step, std::string& Why) {
        return Play(Step, Why, Took);
      });
    });
  }

  std::string InFolder(const std::string& Path) const { return Dir.Path() + DecodeBytes(Path); }
  // Made by the first step that names it (on the case's thread before a block starts).
  TEvent& Named(const std::string& Name) {
    auto Found = Events.find(Name);
    if (Found == Events.end()) Found = Events.emplace(Name, std::make_unique<TEvent>()).first;
    return *Found->second;
  }

  TScratchDir Dir;
  std::vector<TLibrary> Loaded;               // each load unloaded once at the end
  std::map<std::string, TEntries> Entries;    // by the case's names
  std::map<std::string, std::string> Values;  // handles and module paths, for "expect same"
  std::map<std::string, TFile> Files;
  std::map<std::string, std::unique_ptr<TEvent>> Events;
  std::unique_ptr<TSemaphore> Semaphore;
  TCriticalSection Lock;
  std::vector<TCaseStep> Block;
  bool Collecting = false;
  TCaseThread Thread;  // joined before what its steps use goes
};

}  // namespace

bool RunPlatformCase(const std::vector<TCaseStep>& Steps) {
  TPlatformCase Case;
  uint64_t Took = 0;
  return PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) { return Case.Play(Step, Why, Took); });
}

}  // namespace TestSupport
