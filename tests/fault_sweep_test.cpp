// The fault sweep: one scripted run of the test build of the plug-in (load,
// Init_Plugin with the transport double connected, commands and answers, a
// keep-alive, a lost connection and its return, more commands,
// Finalize_Plugin, unload) counts the calls of every fallible platform
// operation; then the run is repeated with the Nth call of each operation
// failing, for every N up to its count (a sample of large counts, the first
// and the last always in it; VELMORA_SWEEP_DEEP=1 takes every one). Every run
// must end within its bound, leave no thread, handle, thread-local slot or
// library behind, account for every command (its answer or exactly one
// "EXCEPTION" line), and handle the failure as the plug-in promises at that
// place; the run after the sweep must equal the first.
//
// The operations and their counts come from the seam, so the sweep follows
// operations and log lines as they are added or changed; the table below only
// says what each known operation's failure must look like.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/FaultSeam.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/testing/LibraryProbe.h"
#include "platform/testing/ThreadSlots.h"
#include "tests/support/PluginHost.h"
#include "tests/support/PluginLibrary.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using namespace TestSupport;
using Platform::TFaultOperation;
namespace Seam = Platform::FaultSeam;

namespace {

// ------------------------------------------------------------- the script

// The steps of the run; the seam keeps the one a fault was met in.
enum TPhase : int32_t {
  PhaseLoad = 1, PhaseInit, PhaseConnect, PhaseCommands, PhaseKeepAlive, PhaseLoss,
  PhaseReturn, PhaseMoreCommands, PhaseFinalize, PhaseUnload
};
const char* PhaseName(int32_t Phase) {
  static const char* const Names[] = {"none",     "load",     "init",          "connect",
                                      "commands", "keepalive", "loss",         "return",
                                      "more commands", "finalize", "unload"};
  return Phase >= 0 && Phase <= PhaseUnload ? Names[Phase] : "?";
}

constexpr int32_t FirstBatch[] = {1, 2, 3};
constexpr int32_t SecondBatch[] = {4, 5};
constexpr int32_t Sessions = 5;

// The log's clock stands still at an instant of its own, so that every line
// of a run goes to one file in a day folder that only the sweep uses.
const Platform::TDateTime SweepInstant{2031, 7, 15, 10, 20, 30, 0};
const char SweepDayFolder[] = "Logs\\2031_07_15";
constexpr size_t StampLength = 13;  // "HH:NN:SS.ZZZ "

// The address is configured, the port missing: the run reads both and writes
// the port back.
const char InitialSettings[] = "[Server]\r\nFSServerAddr=127.0.0.2\r\n";

// The system texts the checks look for (the transport load failures, in code page 1251).
const std::string NotFoundText =
    "\xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED\xE0 \xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE0 "
    "\"cl_vexo_transport.dll\"";
const std::string VersionText = "\xC2\xE5\xF0\xF1\xE8\xFF \xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE8 "
                                "\"cl_vexo_transport.dll\"";

// Answers the plug-in hands back, per session.
struct TAnswers {
  Platform::TCriticalSection Lock;
  std::map<int32_t, std::vector<std::string>> BySession;  // guarded by Lock
};
TAnswers& Answers() {
  static TAnswers* Instance = new TAnswers;  // lives until the process ends
  return *Instance;
}
void VELMORA_STDCALL RecordAnswer(int32_t SessionACT, const char*, const void* Data, int32_t Length,
                                  uintptr_t) {
  Platform::TLockGuard Guard(Answers().Lock);
  Answers().BySession[SessionACT].emplace_back(static_cast<const char*>(Data),
                                               Data != nullptr && Length > 0 ? Length : 0);
}

bool StartsWith(const std::string& Text, const std::string& Prefix) {
  return Text.compare(0, Prefix.size(), Prefix) == 0;
}

std::string SessionTag(int32_t Session) { return "[SessionACT=" + std::to_string(Session) + "]"; }

// Lines that end one session's command: its own failure lines, or the line
// of a command sent and never answered.
bool EndsSession(const std::string& Line, int32_t Session) {
  const std::string Tag = SessionTag(Session) + " EXCEPTION: ";
  return StartsWith(Line, "Command_Plugin " + Tag) || StartsWith(Line, "ProcessCommand " + Tag) ||
         StartsWith(Line, "No answer " + SessionTag(Session) + ": ");
}
// Lines that end a command without naming its session: a lost answer, or a
// command refused because the plug-in has no manager.
bool EndsSomeSession(const std::string& Line) {
  return StartsWith(Line, "OnReceive response EXCEPTION: ") ||
         StartsWith(Line, "Receive response EXCEPTION: ") ||
         Line == "PLUGIN PANIC: Plugin is not initialized!";
}

// What one run left.
struct TRun {
  std::vector<std::string> Lines;                             // log texts, stamps removed
  std::map<int32_t, std::vector<std::string>> Answers;        // per session
  std::string TransportCalls;                                 // the double's record
  std::string Settings;                                       // the settings file afterwards
  bool Fired = false;
  int32_t Phase = 0;
  uint64_t Calls[Platform::FaultOperationCount] = {};
  std::vector<std::string> Problems;                          // found by the checks
};

// Every command of Batch has ended (answer or line), as far as Lines tell.
bool Settled(const std::vector<std::string>& Lines, const std::vector<int32_t>& Batch) {
  int Open = 0;
  {
    Platform::TLockGuard Guard(Answers().Lock);
    for (const int32_t Session : Batch) {
      if (Answers().BySession.count(Session) != 0) continue;
      if (std::none_of(Lines.begin(), Lines.end(),
                       [&](const std::string& Line) { return EndsSession(Line, Session); })) {
        ++Open;
      }
    }
  }
  const auto Covering = std::count_if(Lines.begin(), Lines.end(), EndsSomeSession);
  return Open <= Covering;
}

// Runs Body on a thread of its own from construction on; the end sets the
// flag Body is given and waits for the thread.
class TBackground {
public:
  using TBody = std::function<void(const std::atomic<bool>& Stop)>;
  explicit TBackground(TBody Body) : Body(std::move(Body)) {
    Thread.Create([](void* Self) { static_cast<TBackground*>(Self)->Run(); }, this);
    Thread.Start();
  }
  ~TBackground() {
    Stop.store(true);
    Thread.WaitForEnd();
  }

private:
  void Run() { Body(Stop); }
  const TBody Body;
  std::atomic<bool> Stop{false};
  Platform::TThread Thread;
};

// Aborts the process, naming the run, when a run outlives its bound.
class TWatchdog {
public:
  void Arm(const std::string& Run, uint32_t BoundMs) {
    Platform::TLockGuard Guard(Lock);
    Name = Run;
    Deadline.store(Platform::TickCountMs() + BoundMs);
  }
  void Disarm() { Deadline.store(0); }
  // The step running, for the message.
  std::atomic<int32_t> CurrentPhase{0};

private:
  Platform::TCriticalSection Lock;
  std::string Name;  // guarded by Lock
  std::atomic<uint64_t> Deadline{0};
  const TBackground Watch{[this](const std::atomic<bool>& Stop) {
    while (!Stop.load()) {
      const uint64_t Due = Deadline.load();
      if (Due != 0 && Platform::TickCountMs() > Due) {
        Platform::TLockGuard Guard(Lock);
        std::fprintf(stderr, "FAULT SWEEP HUNG: %s (phase %s)\n", Name.c_str(),
                     PhaseName(CurrentPhase.load()));
        std::fflush(stderr);
        std::abort();
      }
      Platform::SleepMs(50);
    }
  }};
};

// The test plug-in, copied once under a name of its own into a scratch
// folder (its settings file beside it); each run loads it afresh.
class TSweep {
public:
  TSweep()
      : Source(BuiltPluginPath({BinaryDir() + "seam\\"})),
        Copy(Source, Folder.Path() + "VelmoraSweep" + Source.substr(Source.rfind('.'))),
        LogFile(BinaryDir() + SweepDayFolder + "\\10_" + Copy.FileName() + ".log") {}
  ~TSweep() { RemoveTree(BinaryDir() + SweepDayFolder); }

  // One run of the script with Fault armed (none when Operation is null).
  TRun Run(const std::string& Name, const TFaultOperation* Operation = nullptr, uint64_t Nth = 0,
           uint32_t Code = 0);

  // Threads, handles and free thread-local slots as a run must leave them.
  struct TCounts {
    int32_t Threads, Handles, FreeSlots;
  };
  static TCounts CountResources() {
    return {Platform::CountThreads(), Platform::CountOpenHandles(),
            Platform::CountFreeThreadSlots()};
  }
  TCounts Floor{};

private:
  void Step(int32_t Phase) {
    if (std::getenv("VELMORA_SWEEP_TRACE") != nullptr) {
      const TCounts Now = CountResources();
      std::fprintf(stderr, "  before %s: threads %d, handles %d\n", PhaseName(Phase), Now.Threads,
                   Now.Handles);
    }
    Seam::SetPhase(Phase);
    Dog.CurrentPhase.store(Phase);
  }
  // Waits (bounded) until every command of Batch has ended. A client that
  // exists without a connection makes each command wait out its send's
  // 1000 ms before it is dropped.
  bool WaitSettled(const std::vector<int32_t>& Batch) {
    const uint64_t Deadline = Platform::TickCountMs() + 1000 + 1500 * Batch.size();
    while (!Settled(LogLines(), Batch)) {
      if (Platform::TickCountMs() > Deadline) return false;
      Platform::SleepMs(2);
    }
    return true;
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> Lines;
    const std::string Bytes = ReadFileBytes(LogFile);
    for (size_t Start = 0;;) {
      const size_t End = Bytes.find("\r\n", Start);
      if (End == std::string::npos) break;
      const std::string Line = Bytes.substr(Start, End - Start);
      Lines.push_back(Line.size() >= StampLength ? Line.substr(StampLength) : Line);
      Start = End + 2;
    }
    return Lines;
  }
  void CheckNothingLeft(TRun& Run) const;

  const std::string Source;
  TScratchDir Folder;
  TPluginCopy Copy;
  const std::string LogFile;
  TWatchdog Dog;
};

TRun TSweep::Run(const std::string& Name, const TFaultOperation* Operation, uint64_t Nth,
                 uint32_t Code) {
  TRun Result;
  Dog.Arm(Name, 60000);
  if (std::getenv("VELMORA_SWEEP_VERBOSE") != nullptr) std::fprintf(stderr, "run %s\n", Name.c_str());
  RemoveTree(BinaryDir() + SweepDayFolder);
  WriteFileBytes(Copy.SettingsPath(), InitialSettings);
  {
    Platform::TLockGuard Guard(Answers().Lock);
    Answers().BySession.clear();
  }
  Seam::Reset();
  Seam::SetClockFixed(SweepInstant);
  if (Operation != nullptr) Seam::Arm(*Operation, Nth, Code);
  bool Unsettled = false;
  {
    TTransportDouble Double;
    Double.SetAutoEcho(true);
    Step(PhaseLoad);
    TPluginLibrary Plugin(Copy.Path());
    Step(PhaseInit);
    Plugin.Init(&RecordAnswer, 7);
    Step(PhaseConnect);
    const bool Connected = Double.FireConnect();
    // Without a connection (the double had no termination to tell) none can
    // come until the test fires the next notice: each send would only wait
    // out its 1 s for the connection, and ends as that time-out at once.
    const auto Send = [&](int32_t Phase, const std::vector<int32_t>& Batch, bool Up) {
      Step(Phase);
      Seam::SetEitherWaitsExpire(!Up);
      for (const int32_t Session : Batch) {
        const std::string Bytes = Packed({"Operation=6", "UserData=s" + std::to_string(Session)});
        Plugin.Command(Session, Bytes.data(), static_cast<uint32_t>(Bytes.size()));
      }
      if (!WaitSettled(Batch)) Unsettled = true;
      Seam::SetEitherWaitsExpire(false);
    };
    Send(PhaseCommands, {std::begin(FirstBatch), std::end(FirstBatch)}, Connected);
    Step(PhaseKeepAlive);
    if (Connected) {
      // One idle period, cut short; the keep-alive goes out while connected.
      const int32_t Before = Double.CallCount("SendToServer");
      Seam::ExpireIdleWait();
      const uint64_t Deadline = Platform::TickCountMs() + 2000;
      while (Double.CallCount("SendToServer") == Before && Platform::TickCountMs() < Deadline) {
        Platform::SleepMs(1);
      }
    }
    Step(PhaseLoss);
    Double.FireDisconnect();
    Step(PhaseReturn);
    const bool Reconnected = Double.FireConnect();
    Send(PhaseMoreCommands, {std::begin(SecondBatch), std::end(SecondBatch)}, Reconnected);
    Step(PhaseFinalize);
    {
      // The stop deactivates the connection twice: once to close it and once
      // more from DestroyConnection, which then waits for the disconnect
      // notice. It comes after the second time, as from a transport that
      // takes its time, so the wait is made in every run.
      const TBackground LateNotice([&](const std::atomic<bool>& Stop) {
        while (!Stop.load() && Double.CallCount("DisconnectFromServer") < 2) Platform::SleepMs(1);
        if (!Stop.load()) Double.FireDisconnect();
      });
      Plugin.Finalize();
    }
    Step(PhaseUnload);
    Result.TransportCalls = Double.CallLog();
    Double.Reset();
    Plugin.Unload();
  }  // the double is let go: no reference of the plug-in's may keep it loaded
  Step(0);
  Result.Fired = Seam::Fired();
  Result.Phase = Seam::FiredPhase();
  for (size_t I = 0; I < Platform::FaultOperationCount; ++I) {
    Result.Calls[I] = Seam::Calls(static_cast<TFaultOperation>(I));
  }
  Seam::Reset();
  Result.Lines = LogLines();
  Result.Settings = ReadFileBytes(Copy.SettingsPath());
  {
    Platform::TLockGuard Guard(Answers().Lock);
    Result.Answers = Answers().BySession;
  }
  if (Unsettled) Result.Problems.push_back("a command neither answered nor logged in time");
  CheckNothingLeft(Result);
  Dog.Disarm();
  return Result;
}

// Threads end and handles close a moment after the calls that end them
// return: the counts get a second to come back to the floor.
void TSweep::CheckNothingLeft(TRun& Run) const {
  const uint64_t Deadline = Platform::TickCountMs() + 2000;
  for (;;) {
    const TCounts Now = CountResources();
    const bool PluginLoaded = Platform::IsLibraryLoaded(Copy.Path());
    const bool DoubleLoaded = Platform::IsLibraryLoaded("cl_vexo_transport.dll");
    const bool Clean = Now.Threads <= Floor.Threads && Now.Handles <= Floor.Handles &&
                       Now.FreeSlots >= Floor.FreeSlots && !PluginLoaded && !DoubleLoaded;
    if (Clean) return;
    if (Platform::TickCountMs() > Deadline) {
      char Text[256];
      std::snprintf(Text, sizeof Text,
                    "left behind: threads %d (floor %d), handles %d (floor %d), free thread slots "
                    "%d (floor %d)%s%s",
                    Now.Threads, Floor.Threads, Now.Handles, Floor.Handles, Now.FreeSlots,
                    Floor.FreeSlots, PluginLoaded ? ", the plug-in still loaded" : "",
                    DoubleLoaded ? ", the transport library still loaded" : "");
      Run.Problems.push_back(Text);
      return;
    }
    Platform::SleepMs(10);
  }
}

// ------------------------------------------------------------- the checks

using TLines = std::vector<std::string>;

// Lines of A that B lacks, as multisets.
TLines Without(TLines A, TLines B) {
  std::sort(A.begin(), A.end());
  std::sort(B.begin(), B.end());
  TLines Rest;
  std::set_difference(A.begin(), A.end(), B.begin(), B.end(), std::back_inserter(Rest));
  return Rest;
}

size_t CountStarting(const TLines& Lines, const std::string& Prefix) {
  return static_cast<size_t>(std::count_if(Lines.begin(), Lines.end(), [&](const std::string& Line) {
    return StartsWith(Line, Prefix);
  }));
}
bool Has(const TLines& Lines, const std::string& Line) {
  return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
}

std::string Quote(const TLines& Lines) {
  std::string Text;
  for (const std::string& Line : Lines) Text += "\n    \"" + Line + "\"";
  return Text.empty() ? " (none)" : Text;
}

// Every run: each command ends once, as its answer or as its own failure
// line; commands with neither are no more than the lines that end a command
// without naming it. An answer is the reference's answer for its session.
void CheckAccounting(TRun& Run, const TRun& Reference) {
  int Open = 0;
  for (int32_t Session = 1; Session <= Sessions; ++Session) {
    const auto Found = Run.Answers.find(Session);
    const size_t Answered = Found == Run.Answers.end() ? 0 : Found->second.size();
    const size_t Lines = static_cast<size_t>(std::count_if(
        Run.Lines.begin(), Run.Lines.end(),
        [&](const std::string& Line) { return EndsSession(Line, Session); }));
    if (Answered + Lines > 1) {
      Run.Problems.push_back("session " + std::to_string(Session) + " ended " +
                             std::to_string(Answered + Lines) + " times");
    }
    if (Answered + Lines == 0) ++Open;
    if (Answered == 1 && Found->second != Reference.Answers.at(Session)) {
      Run.Problems.push_back("session " + std::to_string(Session) + " got another answer");
    }
  }
  for (const auto& [Session, Calls] : Run.Answers) {
    if (Session < 1 || Session > Sessions) {
      Run.Problems.push_back("an answer for session " + std::to_string(Session));
    }
  }
  const auto Covering = std::count_if(Run.Lines.begin(), Run.Lines.end(), EndsSomeSession);
  if (Open > Covering) {
    Run.Problems.push_back(std::to_string(Open) + " command(s) ended neither as an answer nor " +
                           "as a line");
  }
}

// Every run: what follows from a failed start of the manager or the client.
void CheckConsequences(TRun& Run) {
  const TLines& L = Run.Lines;
  if (CountStarting(L, "Init_Plugin EXCEPTION: ") > 0) {
    if (!Run.Answers.empty()) Run.Problems.push_back("answers without a manager");
    if (CountStarting(L, "PLUGIN PANIC: Plugin is not initialized!") != Sessions) {
      Run.Problems.push_back("commands without a manager are not each refused as not initialized");
    }
    if (Has(L, "FS Client stopped.")) Run.Problems.push_back("a manager that was never made stopped");
  }
  if (CountStarting(L, "ERR: FS Client initialization fail: ") > 0) {
    if (!Run.Answers.empty()) Run.Problems.push_back("answers without a client");
    if (Has(L, "FS Client started")) Run.Problems.push_back("a failed client logged as started");
    if (!Has(L, "FS Client stopped.")) Run.Problems.push_back("the manager without a client did not stop");
  }
}

struct TCase;
using TRule = void (*)(TRun& Run, const TRun& Reference, const TCase& Case);

// What the failure of one operation must look like; Message, where given, is
// how the failure line's text begins.
struct TCase {
  const char* Operation;
  uint32_t Code;
  TRule Rule;
  const char* Message = nullptr;
};

void Expect(TRun& Run, bool Holds, const std::string& What) {
  if (!Holds) Run.Problems.push_back(What);
}

// The line being written is lost, and nothing else changes.
void OneLineLost(TRun& Run, const TRun& Reference, const TCase&) {
  const TLines Missing = Without(Reference.Lines, Run.Lines);
  const TLines Extra = Without(Run.Lines, Reference.Lines);
  Expect(Run, Missing.size() == 1 && Extra.empty(),
         "not exactly one line lost: missing" + Quote(Missing) + "\n  extra" + Quote(Extra));
  Expect(Run, Run.Answers == Reference.Answers, "answers changed");
}

// The failure is absorbed where it happens: the run is the reference's.
void NothingChanges(TRun& Run, const TRun& Reference, const TCase&) {
  Expect(Run, Run.Lines.size() == Reference.Lines.size() && Without(Run.Lines, Reference.Lines).empty(),
         "the log changed: missing" + Quote(Without(Reference.Lines, Run.Lines)) + "\n  extra" +
             Quote(Without(Run.Lines, Reference.Lines)));
  Expect(Run, Run.Answers == Reference.Answers, "answers changed");
  Expect(Run, Run.Settings == Reference.Settings, "the settings file changed");
}

// A settings value that cannot be read reads as missing: its default.
void ReadGivesDefault(TRun& Run, const TRun& Reference, const TCase& Case) {
  NothingChanges(Run, Reference, Case);
  std::string Defaulted = Reference.TransportCalls;
  const size_t At = Defaulted.find("127.0.0.2");
  if (At != std::string::npos) Defaulted.replace(At, 9, "127.0.0.1");
  Expect(Run, Run.TransportCalls == Reference.TransportCalls || Run.TransportCalls == Defaulted,
         "connected neither to the configured address nor to the default");
}

// One line starting with the case's message logs the failure; nothing else
// changes (a worker whose end cannot be waited for still ends before the
// manager goes).
void OneLineAdded(TRun& Run, const TRun& Reference, const TCase& Case) {
  const TLines Extra = Without(Run.Lines, Reference.Lines);
  Expect(Run, Extra.size() == 1 && StartsWith(Extra.front(), Case.Message),
         "not one line \"" + std::string(Case.Message) + "...\": extra" + Quote(Extra));
  Expect(Run, Without(Reference.Lines, Run.Lines).empty(), "lines lost");
  Expect(Run, Run.Answers == Reference.Answers, "answers changed");
}

// A key that cannot be written back is logged; creation goes on and the
// file stays as it was.
void WriteLogged(TRun& Run, const TRun& Reference, const TCase& Case) {
  OneLineAdded(Run, Reference, Case);
  Expect(Run, Run.Settings == InitialSettings, "the settings file changed after a failed write");
}

// The client cannot be made: one "ERR: FS Client initialization fail: "
// line with the failure's message, and every command dropped with a line.
void ClientNotMade(TRun& Run, const TRun&, const TCase& Case) {
  if (Run.Phase != PhaseInit) return;
  const std::string Line = std::string("ERR: FS Client initialization fail: ") + Case.Message;
  Expect(Run, CountStarting(Run.Lines, Line) == 1, "no line \"" + Line + "...\"");
  Expect(Run, Run.Answers.empty(), "answers without a client");
  for (int32_t Session = 1; Session <= Sessions; ++Session) {
    Expect(Run, CountStarting(Run.Lines, "ProcessCommand " + SessionTag(Session) + " EXCEPTION: ") == 1,
           "session " + std::to_string(Session) + " not dropped with its line");
  }
  Expect(Run, Run.TransportCalls.find("CreateTermination") == std::string::npos,
         "a connection made without a client");
  Expect(Run, Has(Run.Lines, "Finalize_Plugin"), "no Finalize_Plugin line");
}

// The manager cannot be made (its worker thread or queue): Init_Plugin logs
// the failure, the plug-in stays loaded and refuses commands.
void ManagerNotMade(TRun& Run, const TRun&, const TCase& Case) {
  if (Run.Phase != PhaseInit) return;
  const std::string Line = std::string("Init_Plugin EXCEPTION: ") + Case.Message;
  Expect(Run, CountStarting(Run.Lines, Line) == 1, "no line \"" + Line + "...\"");
  Expect(Run, Has(Run.Lines, "Init_Plugin: Velmora") && Has(Run.Lines, "Finalize_Plugin"),
         "the plug-in's own lines are missing");
  Expect(Run, Run.TransportCalls.empty(), "the transport was used without a manager");
}

// A send that finds no connection state (its wait failed): the transport
// error line of operation 4 and the failure line of the command or the
// keep-alive that made it; every other command answered.
void SendFails(TRun& Run, const TRun& Reference, const TCase&) {
  const TLines Extra = Without(Run.Lines, Reference.Lines);
  const size_t ErrorLines = CountStarting(Extra, "FSClient Error (TermID=100, Operate=4, Error=");
  size_t Failure = CountStarting(Extra, "SEND KEEP ALIVE EXCEPTION: ");
  for (int32_t Session = 1; Session <= Sessions; ++Session) {
    Failure += CountStarting(Extra, "ProcessCommand " + SessionTag(Session) + " EXCEPTION: ");
  }
  Expect(Run, Extra.size() == 2 && ErrorLines == 1 && Failure == 1,
         "not one transport error and one failure line: extra" + Quote(Extra));
  size_t Unanswered = 0;
  for (const auto& [Session, Answer] : Reference.Answers) Unanswered += Run.Answers.count(Session) == 0;
  Expect(Run, Unanswered <= 1, "more than the failed command unanswered");
}

// Module paths: read at load, the log's place (a plug-in that cannot name
// itself runs without a log); read at Init, the settings file's (then the
// defaults apply and nothing is written back). Relaying goes on either way.
void ModulePathMissing(TRun& Run, const TRun& Reference, const TCase&) {
  Expect(Run, Run.Answers == Reference.Answers, "answers changed");
  if (Run.Phase == PhaseLoad) {
    Expect(Run, Without(Run.Lines, Reference.Lines).empty(), "lines that the reference lacks");
  } else if (Run.Phase == PhaseInit) {
    Expect(Run, Run.Lines.size() == Reference.Lines.size() && Without(Run.Lines, Reference.Lines).empty(),
           "the log changed");
    Expect(Run, Run.Settings == InitialSettings, "settings written without knowing the file");
  }
}

// A record that cannot be queued: the step that queued it logs one failure
// line (a command's, an answer's, a lost connection's), and a request whose
// answer it cost is given up with its own line; a stop record that cannot be
// queued is logged once and the worker is stopped without it, so the plug-in
// stops all the same.
void QueueFails(TRun& Run, const TRun& Reference, const TCase&) {
  TLines Failures;
  for (const std::string& Line : Without(Run.Lines, Reference.Lines)) {
    const bool GivenUp = StartsWith(Line, "No answer [SessionACT=");
    if (!GivenUp) Failures.push_back(Line);
  }
  const char* Expected = Run.Phase == PhaseFinalize ? "ERR: FS Client worker stop fail: " : "EXCEPTION: ";
  Expect(Run, Failures.size() == 1 && Failures.front().find(Expected) != std::string::npos,
         "not one failure line:" + Quote(Failures));
  Expect(Run, Has(Run.Lines, "FS Client stopped.") && Has(Run.Lines, "Finalize_Plugin"),
         "the plug-in did not stop");
}

// Memory exhausted anywhere: whatever was lost is lost with at most one line
// naming the failure, and every other added line is a failure line or the
// "No answer" line of a request whose answer that cost.
void AllocationFails(TRun& Run, const TRun& Reference, const TCase&) {
  const TLines Extra = Without(Run.Lines, Reference.Lines);
  size_t Naming = 0;
  for (const std::string& Line : Extra) {
    const bool FailureLine = Line.find("EXCEPTION: ") != std::string::npos ||
                             StartsWith(Line, "ERR: ") || StartsWith(Line, "FSClient Error (") ||
                             StartsWith(Line, "No answer [SessionACT=") ||
                             Line == "PLUGIN PANIC: Plugin is not initialized!";
    Expect(Run, FailureLine, "an added line that is no failure line: \"" + Line + "\"");
    Naming += Line.find("bad_alloc") != std::string::npos;
  }
  Expect(Run, Naming <= 1, "the failure logged more than once");
}

void GenericOnly(TRun&, const TRun&, const TCase&) {}

// The known operations. An operation the seam knows and this table does not
// is swept all the same, with the checks every run gets.
const TCase Cases[] = {
    {"FileOpen", 5, OneLineLost},        // access denied: the line is lost
    {"FileOpen", 3, NothingChanges},     // path not found: the directory is made again
    {"FileSeek", 6, OneLineLost},
    {"FileWrite", 112, OneLineLost},     // the disk is full
    {"DirectoryCreate", 5, OneLineLost},
    {"ProfileRead", 5, ReadGivesDefault},
    {"ProfileKeyExists", 5, NothingChanges},
    {"ProfileWrite", 5, WriteLogged, "ERR: Settings write fail: "},
    {"LibraryLoad", 126, ClientNotMade, NotFoundText.c_str()},
    {"LibraryEntry", 127, ClientNotMade, VersionText.c_str()},
    {"ModulePath", 122, ModulePathMissing},
    {"ThreadCreate", 8, ManagerNotMade, "Thread creation error: "},
    {"ThreadStart", 5, ManagerNotMade, "Thread Error: "},
    {"ThreadWait", 6, OneLineAdded, "ERR: FS Client worker stop fail: "},
    {"SemaphoreCreate", 8, ManagerNotMade, ""},
    {"SemaphoreRelease", 298, QueueFails},
    {"SemaphoreWait", 6, NothingChanges},
    {"EventCreate", 8, ClientNotMade, ""},
    {"EventWait", 6, NothingChanges},
    {"EventWaitEither", 6, SendFails},
    {"Allocation", 8, AllocationFails},
};

std::vector<TCase> CasesOf(const std::string& Operation) {
  std::vector<TCase> Found;
  for (const TCase& Case : Cases) {
    if (Operation == Case.Operation) Found.push_back(Case);
  }
  if (Found.empty()) Found.push_back({"", 5, GenericOnly});
  return Found;
}

// The occurrences to fail: all of 1..Count, or Samples of them spread evenly,
// the first and the last among them.
std::vector<uint64_t> Occurrences(uint64_t Count, uint64_t Samples) {
  std::vector<uint64_t> Chosen;
  if (Count <= Samples || Samples < 2) {
    for (uint64_t N = 1; N <= Count; ++N) Chosen.push_back(N);
    return Chosen;
  }
  for (uint64_t I = 0; I < Samples; ++I) {
    const uint64_t N = 1 + I * (Count - 1) / (Samples - 1);
    if (Chosen.empty() || Chosen.back() != N) Chosen.push_back(N);
  }
  return Chosen;
}

uint64_t EnvironmentNumber(const char* Name, uint64_t Default) {
  const char* Text = std::getenv(Name);
  return Text != nullptr && std::strtoull(Text, nullptr, 10) > 0 ? std::strtoull(Text, nullptr, 10)
                                                                 : Default;
}

}  // namespace

// Samples per operation: VELMORA_SWEEP_SAMPLES (40); VELMORA_SWEEP_DEEP=1
// fails every occurrence; VELMORA_SWEEP_ONLY=<operation> sweeps that one;
// VELMORA_SWEEP_TRACE=1 prints the threads and handles before each step, to
// find the step that leaves something behind.
TEST(FaultSweep, EveryFailingCallIsSurvivedAndHandledWhereItHappens) {
  const bool Deep = std::getenv("VELMORA_SWEEP_DEEP") != nullptr &&
                    std::string(std::getenv("VELMORA_SWEEP_DEEP")) == "1";
  const uint64_t Samples = Deep ? UINT64_MAX : EnvironmentNumber("VELMORA_SWEEP_SAMPLES", 40);
  const char* const Only = std::getenv("VELMORA_SWEEP_ONLY");  // one operation, by name
  const uint64_t Started = Platform::TickCountMs();
  TSweep Sweep;
  // The first load maps what stays mapped; the floor is taken after it.
  Sweep.Floor = {INT32_MAX, INT32_MAX, 0};
  (void)Sweep.Run("warm-up");
  Sweep.Floor = TSweep::CountResources();
  TRun Reference = Sweep.Run("reference");
  CheckAccounting(Reference, Reference);
  ASSERT_TRUE(Reference.Problems.empty()) << "the reference run:" << Quote(Reference.Problems);
  for (int32_t Session = 1; Session <= Sessions; ++Session) {
    ASSERT_EQ(Reference.Answers.count(Session), 1u) << "the reference run left session " << Session
                                                    << " unanswered";
  }
  ASSERT_TRUE(Has(Reference.Lines, "FS Client disconnected from FileServer"));
  ASSERT_NE(Reference.TransportCalls.find("SendToServer(100,null,0)"), std::string::npos)
      << "the reference run sent no keep-alive";

  size_t Operations = 0, Injected = 0, Runs = 0, Survived = 0;
  std::printf("%-18s %6s %10s %6s %9s %9s\n", "operation", "code", "count", "runs", "injected",
              "survived");
  for (size_t Index = 0; Seam::OperationName(Index) != nullptr; ++Index) {
    const std::string Name = Seam::OperationName(Index);
    const auto Operation = static_cast<TFaultOperation>(Index);
    const uint64_t Count = Reference.Calls[Index];
    if (Only != nullptr && Name != Only) continue;
    ++Operations;
    for (const TCase& Case : CasesOf(Name)) {
      size_t CaseRuns = 0, CaseInjected = 0, CaseSurvived = 0;
      for (const uint64_t Nth : Occurrences(Count, Samples)) {
        const std::string Label = Name + " #" + std::to_string(Nth) + " (code " +
                                  std::to_string(Case.Code) + ")";
        TRun Run = Sweep.Run(Label, &Operation, Nth, Case.Code);
        ++CaseRuns;
        CheckAccounting(Run, Reference);
        CheckConsequences(Run);
        if (Run.Fired) {
          ++CaseInjected;
          Case.Rule(Run, Reference, Case);
        }
        if (Run.Problems.empty()) {
          ++CaseSurvived;
        } else {
          ADD_FAILURE() << Label << ", met in phase " << PhaseName(Run.Phase) << ":"
                        << Quote(Run.Problems) << "\n  log:" << Quote(Run.Lines);
        }
      }
      std::printf("%-18s %6u %10llu %6zu %9zu %9zu\n", Name.c_str(), Case.Code,
                  static_cast<unsigned long long>(Count), CaseRuns, CaseInjected, CaseSurvived);
      std::fflush(stdout);
      Runs += CaseRuns;
      Injected += CaseInjected;
      Survived += CaseSurvived;
    }
  }
  // The next run is the reference's again.
  TRun After = Sweep.Run("after the sweep");
  CheckAccounting(After, Reference);
  NothingChanges(After, Reference, Cases[0]);
  EXPECT_EQ(After.TransportCalls, Reference.TransportCalls);
  EXPECT_TRUE(After.Problems.empty()) << "the run after the sweep:" << Quote(After.Problems);
  const double Seconds = static_cast<double>(Platform::TickCountMs() - Started) / 1000.0;
  std::printf("SWEEP %s: operations %zu, occurrences injected %zu, runs %zu, survived %zu, %.0f s\n",
              Deep ? "deep" : "sampled", Operations, Injected, Runs, Survived, Seconds);
  RecordProperty("operations", static_cast<int>(Operations));
  RecordProperty("injected", static_cast<int>(Injected));
  RecordProperty("runs", static_cast<int>(Runs));
  RecordProperty("survived", static_cast<int>(Survived));
}
