// One run of the host runner: load, name, initialise, send from one or more
// threads, wait for the answers, finalise, unload, and the summary.
#include "standins/host/HostRunner.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "params/IntegerText.h"
#include "params/PackedParams.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/testing/ProcessCpu.h"
#include "standins/host/AnswerBook.h"
#include "standins/host/AnswerWindow.h"
#include "standins/host/HostOptions.h"
#include "check/PluginBinding.h"
#include "standins/host/Scenario.h"

namespace {

constexpr const char* ExpectedName = "Velmora";
constexpr int MaxProblemLines = 20;  // problems beyond this are only counted

class THostCycle;

// The cycle whose plug-in may call back now; set before Init_Plugin and
// cleared after Finalize_Plugin, both on the main thread.
std::atomic<THostCycle*> ActiveCycle{nullptr};

void VELMORA_STDCALL OnAnswer(int32_t SessionACT, const char* PluginName, const void* Data,
                              int32_t Length, uintptr_t UserValue);

// A plug-in name for a message: quoted, or (null).
std::string Quoted(const char* Name) {
  if (Name == nullptr) return "(null)";
  std::string Text(1, '"');
  Text.append(Name);
  Text.push_back('"');
  return Text;
}

// One load-to-unload pass over the scenario.
class THostCycle {
public:
  THostCycle(const THostOptions& Options, const std::vector<TScenarioCommand>& Scenario,
             THostOutput& Output, TPluginBinding& Plugin, bool PrintName)
      : Book(Options.Expect), Options(Options), Scenario(Scenario), Output(Output),
        Plugin(Plugin), PrintName(PrintName) {
    if (Options.InFlight > 0) {
      Window = std::make_unique<TAnswerWindow>(Options.InFlight);
    }
  }

  // Returns false when a sending thread could not be started (the plug-in is
  // finalised all the same).
  bool Execute();
  // The plug-in's worker thread, through OnAnswer.
  void TakeAnswer(int32_t SessionACT, const char* PluginName, const void* Data, int32_t Length,
                  uintptr_t UserValue);

  TAnswerBook Book;
  // How long Finalize_Plugin took, once Execute has returned.
  uint64_t FinalizeMs = 0;
  // CPU time of the process (all threads) from the first send until every
  // answer was in or given up on.
  uint64_t CpuUs = 0;

private:
  struct TSender {
    THostCycle* Cycle = nullptr;
    uint32_t Index = 0;
    Platform::TThread Thread;
  };

  const THostOptions& Options;
  const std::vector<TScenarioCommand>& Scenario;
  THostOutput& Output;
  TPluginBinding& Plugin;
  bool PrintName;
  std::atomic<int> ProblemLines{0};  // any thread
  // --in-flight: taken by a sender before it books a command, given back by
  // each matched answer.
  std::unique_ptr<TAnswerWindow> Window;

  void CheckName(const char* Where, const char* Name);
  void Problem(const std::string& Text);
  void SendAll(uint32_t ThreadIndex);
  static void SenderBody(void* Context);
};

void VELMORA_STDCALL OnAnswer(int32_t SessionACT, const char* PluginName, const void* Data,
                              int32_t Length, uintptr_t UserValue) {
  if (THostCycle* Cycle = ActiveCycle.load()) {
    Cycle->TakeAnswer(SessionACT, PluginName, Data, Length, UserValue);
  }
}

void THostCycle::Problem(const std::string& Text) {
  const int Number = ++ProblemLines;
  if (Number <= MaxProblemLines) {
    Output.ErrorLine("error: " + Text);
  } else if (Number == MaxProblemLines + 1) {
    Output.ErrorLine("error: further problems are counted but not shown");
  }
}

void THostCycle::CheckName(const char* Where, const char* Name) {
  if (Name == nullptr || std::strcmp(Name, ExpectedName) != 0) {
    Book.BadCallback();
    Problem(std::string(Where) + " gave the plug-in name " + Quoted(Name) + ", expected " +
            Quoted(ExpectedName));
  }
}

bool THostCycle::Execute() {
  const char* Name = nullptr;
  Plugin.GetName(&Name);
  if (PrintName) Output.Line(std::string("plugin ") + (Name != nullptr ? Name : "(null)"));
  CheckName("GetName_Plugin", Name);

  ActiveCycle.store(this);
  const char* InitName = nullptr;
  Plugin.Init(&InitName, &OnAnswer, Options.UserValue);
  CheckName("Init_Plugin", InitName);

  bool Started = true;
  const uint64_t CpuStart = Platform::ProcessCpuMicroseconds();
  if (Options.Threads == 1) {
    SendAll(0);
  } else {
    std::vector<std::unique_ptr<TSender>> Senders;
    for (uint32_t i = 0; i < Options.Threads; ++i) {
      auto Sender = std::make_unique<TSender>();
      Sender->Cycle = this;
      Sender->Index = i;
      if (!Sender->Thread.Create(&SenderBody, Sender.get()) || !Sender->Thread.Start()) {
        Output.ErrorLine("velmora-host: cannot start sending thread " + std::to_string(i) + ": " +
                         Platform::TrimmedSystemText(Platform::LastError()));
        Started = false;
        break;
      }
      Senders.push_back(std::move(Sender));
    }
    for (auto& Sender : Senders) Sender->Thread.WaitForEnd();
  }
  Book.FinishSending();
  Book.WaitForAnswers(Options.TimeoutMs, Options.WaitLimitMs);
  CpuUs = Platform::ProcessCpuMicroseconds() - CpuStart;

  const uint64_t FinalizeStart = Platform::TickCountMs();
  Plugin.Finalize();
  FinalizeMs = Platform::TickCountMs() - FinalizeStart;
  ActiveCycle.store(nullptr);
  return Started;
}

void THostCycle::SenderBody(void* Context) {
  auto* Sender = static_cast<TSender*>(Context);
  Sender->Cycle->SendAll(Sender->Index);
}

void THostCycle::SendAll(uint32_t ThreadIndex) {
  const bool Tag = Options.TagsUserData();
  const int64_t Base = static_cast<int64_t>(ThreadIndex) * HostSessionStride;
  std::vector<char> Buffer;
  uint64_t Sequence = 0;
  Platform::TAdaptiveSpin Spin(Platform::TAdaptiveSpin::DefaultLimitUs);  // for the window
  const std::string StopFile = Platform::ToNativePath(Options.StopFile);
  const std::string PauseFile = Platform::ToNativePath(Options.PauseFile);
  for (uint32_t Round = 0; Round < Options.Repeat; ++Round) {
    std::error_code Error;
    // A pause lets a script change the world while nothing is in flight and
    // the plug-in logs nothing; bounded, so a forgotten file ends no run.
    if (!PauseFile.empty()) {
      const uint64_t PauseEnd = Platform::TickCountMs() + 60000;
      while (std::filesystem::exists(PauseFile, Error) && Platform::TickCountMs() < PauseEnd) {
        Platform::SleepMs(10);
      }
    }
    if (!StopFile.empty() && std::filesystem::exists(StopFile, Error)) break;
    for (const TScenarioCommand& Command : Scenario) {
      TParamList List = Command.Params;
      if (Tag) {
        List.SetParam("UserData", std::to_string(ThreadIndex) + ":" + std::to_string(Sequence) +
                                      ":" + List.GetParam("UserData"));
      }
      const int64_t Session =
          Options.SessionsPerThread > 0
              ? Base + 1 + static_cast<int64_t>(Sequence % Options.SessionsPerThread)
              : Base + Command.Session;
      ++Sequence;
      Buffer.resize(PackedSize(List) + 1);
      size_t Length = 0;
      PackParams(List, Buffer.data(), Buffer.size(), Length);
      // The answer may come before Command_Plugin returns: book it first.
      if (Length == 0) {
        Book.SentWithoutAnswer();
      } else {
        if (Window) Window->Take(Options.TimeoutMs, Spin);
        Book.Expect(static_cast<int32_t>(Session), List.GetParam("UserData"));
      }
      Plugin.Command(static_cast<int32_t>(Session), Buffer.data(), static_cast<uint32_t>(Length));
      // The plug-in owns a copy by now; scribbling over ours shows if it kept
      // a pointer instead.
      std::memset(Buffer.data(), 0xEE, Buffer.size());
    }
  }
}

void THostCycle::TakeAnswer(int32_t SessionACT, const char* PluginName, const void* Data,
                            int32_t Length, uintptr_t UserValue) {
  // Data is valid only during this call: copy it first.
  std::string Copy;
  const bool DataValid = Length >= 0 && (Length == 0 || Data != nullptr);
  if (DataValid && Length > 0) Copy.assign(static_cast<const char*>(Data), static_cast<size_t>(Length));
  TParamList List;
  UnpackParams(List, Copy.data(), static_cast<int32_t>(Copy.size()));
  const std::string Text = List.ParamsToText();
  const std::string Where = "answer on session " + std::to_string(SessionACT);

  if (PluginName == nullptr || std::strcmp(PluginName, ExpectedName) != 0) {
    Book.BadCallback();
    Problem(Where + " names the plug-in " + Quoted(PluginName));
  }
  if (UserValue != Options.UserValue) {
    Book.BadCallback();
    Problem(Where + " carries the user value " + std::to_string(UserValue) + ", expected " +
            std::to_string(Options.UserValue));
  }
  if (!DataValid) {
    Book.BadCallback();
    Problem(Where + " has the length " + std::to_string(Length) +
            (Data == nullptr ? " and no data" : ""));
  }
  const TAnswerVerdict Verdict = Book.Answer(SessionACT, List.GetParam("UserData"));
  if (Window && Verdict != TAnswerVerdict::Unmatched) Window->Give();
  if (!Options.Quiet) Output.Line("answer " + std::to_string(SessionACT) + " " + Text);
  if (Verdict == TAnswerVerdict::Unmatched) {
    Problem(Where + " matches no outstanding command: " + Text);
  } else if (Verdict == TAnswerVerdict::OutOfOrder) {
    Problem(Where + " came after the answer to a later command: " + Text);
  }
}

// Every session the threads will use must be a 32-bit number, and with
// several threads no two threads may share a session: each thread owns the
// block t*HostSessionStride .. t*HostSessionStride+999999.
void CheckSessionRange(const THostOptions& Options, const std::vector<TScenarioCommand>& Scenario) {
  if (Options.Threads == 1 || Options.SessionsPerThread > 0) return;
  for (const TScenarioCommand& Command : Scenario) {
    if (Command.Session < 0 || Command.Session >= HostSessionStride) {
      throw EHostUsage("scenario line " + std::to_string(Command.Line) + ": with --threads the " +
                       "sessions must lie in 0..999999, not " + std::to_string(Command.Session));
    }
  }
}

std::vector<TScenarioCommand> LoadScenario(const THostOptions& Options, std::istream& Input) {
  if (Options.ScenarioPath.empty()) return ReadScenario(Input);
  std::ifstream File(Options.ScenarioPath, std::ios::binary);
  if (!File) throw std::runtime_error("cannot open the scenario \"" + Options.ScenarioPath + "\"");
  return ReadScenario(File);
}

void PrintStats(THostOutput& Output, std::vector<uint32_t>& Latencies, double Seconds,
                uint64_t CpuUs) {
  const size_t Count = Latencies.size();
  const uint32_t P50 = Percentile(Latencies, 50);
  const uint32_t P99 = Percentile(Latencies, 99);
  const uint32_t Max = Latencies.empty() ? 0 : Latencies.back();
  const uint64_t Rate = Seconds > 0 ? static_cast<uint64_t>(static_cast<double>(Count) / Seconds) : 0;
  char CpuPerRoundTrip[32];
  std::snprintf(CpuPerRoundTrip, sizeof CpuPerRoundTrip, "%.1f",
                Count > 0 ? static_cast<double>(CpuUs) / static_cast<double>(Count) : 0.0);
  Output.Line("stats round-trips " + std::to_string(Count) + " p50-us " + std::to_string(P50) +
              " p99-us " + std::to_string(P99) + " max-us " + std::to_string(Max) +
              " per-second " + std::to_string(Rate) + " elapsed-ms " +
              std::to_string(static_cast<uint64_t>(Seconds * 1000.0)) + " cpu-us-per-round-trip " +
              CpuPerRoundTrip);
}

}  // namespace

int RunHost(const std::vector<std::string>& Arguments, THostOutput& Output, std::istream& Input) {
  THostOptions Options;
  std::vector<TScenarioCommand> Scenario;
  try {
    Options = ParseHostOptions(Arguments);
    if (Options.Help) {
      Output.Line(HostUsageText().substr(0, HostUsageText().size() - 1));
      return HostExitOk;
    }
    Scenario = LoadScenario(Options, Input);
    CheckSessionRange(Options, Scenario);
  } catch (const EHostUsage& Error) {
    Output.ErrorLine(std::string("velmora-host: ") + Error.what());
    Output.ErrorLine(HostUsageText().substr(0, HostUsageText().size() - 1));
    return HostExitUsage;
  } catch (const std::exception& Error) {
    Output.ErrorLine(std::string("velmora-host: ") + Error.what());
    return HostExitUsage;
  }

  TAnswerCounts Totals;
  std::vector<uint32_t> Latencies;
  double Seconds = 0;
  uint64_t CpuUs = 0;
  bool Failed = false;
  for (uint32_t Cycle = 0; Cycle < Options.Cycles && !Failed; ++Cycle) {
    try {
      TPluginBinding Plugin(Platform::FromNativePath(Options.PluginPath));
      THostCycle Run(Options, Scenario, Output, Plugin, Cycle == 0);
      Failed = !Run.Execute();
      Totals += Run.Book.Counts();
      if (Options.Stats) {
        Output.Line("finalize-ms " + std::to_string(Run.FinalizeMs));
        const std::vector<uint32_t> Some = Run.Book.Latencies();
        Latencies.insert(Latencies.end(), Some.begin(), Some.end());
        Seconds += Run.Book.ElapsedSeconds();
        CpuUs += Run.CpuUs;
      }
    } catch (const std::exception& Error) {
      Output.ErrorLine(std::string("velmora-host: ") + Error.what());
      return HostExitUsage;
    }
  }

  if (Options.Stats) PrintStats(Output, Latencies, Seconds, CpuUs);
  std::string Summary = "sent " + std::to_string(Totals.Sent) + " answered " +
                        std::to_string(Totals.Answered) + " missing " +
                        std::to_string(Totals.Missing) + " duplicates " +
                        std::to_string(Totals.Duplicates) + " out-of-order " +
                        std::to_string(Totals.OutOfOrder);
  if (Totals.BadCallbacks > 0) Summary += " bad-callbacks " + std::to_string(Totals.BadCallbacks);
  Output.Line(Summary);

  if (Failed) return HostExitUsage;
  if (Totals.Duplicates > 0 || Totals.OutOfOrder > 0 || Totals.BadCallbacks > 0) return HostExitBadAnswers;
  if (Totals.Missing > 0) return HostExitMissing;
  return HostExitOk;
}
