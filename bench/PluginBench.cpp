// velmora-bench: the plug-in's host-side latency, in-process relay rate and
// queue memory, each beside its floor measured in the same run. Prints one
// table row per figure: medians over --reps repetitions.
//
// Beside each rate, the CPU time (user + system, every thread of the process)
// per command or round trip: the price of the speed.
//
//   velmora-bench [--reps N] [--calls N] [--round-trips N] [--queue N] [--idle-seconds N]
//                 [--only 1|2|2a|2b|4|6]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchHost.h"
#include "bench/Floors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Thread.h"
#include "platform/testing/HeapUsage.h"
#include "platform/testing/ProcessCpu.h"

namespace fs = std::filesystem;
using namespace Bench;
using TClock = std::chrono::steady_clock;

namespace {

struct TOptions {
  int Reps = 5;
  int Calls = 20000;       // Command_Plugin calls per thread per repetition
  int RoundTrips = 20000;  // per repetition
  int InFlight = 64;
  int Queue = 100000;
  int IdleSeconds = 60;
  int Only = 0;    // 1, 2, 4 or 6: that benchmark alone (for profiling)
  char Part = 0;   // 'a' or 'b' with Only 2: that half of it alone
};

double Percentile(std::vector<double> Values, double P) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const size_t At = std::min(Values.size() - 1, static_cast<size_t>(P * (Values.size() - 1) + 0.5));
  return Values[At];
}
double Median(const std::vector<double>& Values) { return Percentile(Values, 0.5); }

// Ratio: the median of the per-repetition ratios when given (each
// repetition measures the figure and its floor back to back, so their ratio
// drifts less with the machine's load than the ratio of the two medians).
// CpuUs: CPU time per command or round trip, -1 where it means nothing.
void Row(const char* Measure, double Value, double Floor, const char* Unit, bool HigherIsBetter,
         double TargetRatio, double Ratio = -1, double CpuUs = -1) {
  if (Ratio < 0) Ratio = Floor > 0 ? Value / Floor : 0;
  const bool Met = HigherIsBetter ? Ratio >= TargetRatio : Ratio <= TargetRatio;
  char Cpu[16] = "-";
  if (CpuUs >= 0) std::snprintf(Cpu, sizeof Cpu, "%.2f", CpuUs);
  if (TargetRatio < 0) {  // a diagnosis, with no target of its own
    std::printf("| %-44s | %12.1f | %12.1f | %-9s | %6.2f | %-7s | %-6s | %9s |\n", Measure, Value,
                Floor, Unit, Ratio, "-", "-", Cpu);
  } else {
    std::printf("| %-44s | %12.1f | %12.1f | %-9s | %6.2f | %s %.2f | %-6s | %9s |\n", Measure,
                Value, Floor, Unit, Ratio, HigherIsBetter ? ">=" : "<=", TargetRatio,
                Met ? "met" : "MISSED", Cpu);
  }
  std::fflush(stdout);
}

void RemoveLogs() {
  std::error_code Error;
  fs::remove_all(Platform::ToNativePath(ProgramDir() + "Logs"), Error);
}

// ------------------------------------------------ 1. Command_Plugin latency

struct TSender {
  TBenchHost* Host = nullptr;
  int32_t Session = 0;
  int Calls = 0;
  std::vector<double> Ns;
};

void Send(void* Context) {
  TSender& S = *static_cast<TSender*>(Context);
  const std::string Command = Command128();
  S.Ns.reserve(static_cast<size_t>(S.Calls));
  for (int I = 0; I < S.Calls; ++I) {
    const auto Start = TClock::now();
    S.Host->Command(S.Session, Command);
    S.Ns.push_back(std::chrono::duration<double, std::nano>(TClock::now() - Start).count());
  }
}

// CpuUs: the process's CPU time per call, from the first call until every
// command was answered.
std::vector<double> PluginLatencyNs(int Threads, int Calls, double& CpuUs) {
  TestSupport::TTransportDouble Double;
  Double.SetAutoEcho(true);
  Double.SetAutoDisconnect(true);
  Double.SetRecordCalls(false);
  TBenchHost Host("bench_latency");
  Host.Init();
  Double.FireConnect();
  const uint64_t Before = TBenchHost::Answers().load();
  const uint64_t CpuBefore = Platform::ProcessCpuMicroseconds();
  std::vector<TSender> Senders(static_cast<size_t>(Threads));
  std::vector<std::unique_ptr<Platform::TThread>> Workers;
  for (size_t I = 0; I < Senders.size(); ++I) {
    Senders[I].Host = &Host;
    Senders[I].Session = static_cast<int32_t>(I + 1);
    Senders[I].Calls = Calls;
    Workers.push_back(std::make_unique<Platform::TThread>());
    Workers.back()->Create(&Send, &Senders[I]);
  }
  for (auto& W : Workers) W->Start();
  for (auto& W : Workers) W->WaitForEnd();
  if (!TBenchHost::WaitForAnswers(Before + static_cast<uint64_t>(Threads) * Calls, 120000)) {
    std::fprintf(stderr, "latency run: answers missing\n");
  }
  CpuUs = static_cast<double>(Platform::ProcessCpuMicroseconds() - CpuBefore) / (Threads * Calls);
  std::vector<double> All;
  for (auto& S : Senders) All.insert(All.end(), S.Ns.begin(), S.Ns.end());
  return All;
}

void LatencyRows(const TOptions& O) {
  for (int Threads : {1, 4}) {
    std::vector<double> P50, P99, F50, F99, Cpu;
    for (int R = 0; R < O.Reps; ++R) {
      const std::vector<double> Floor = HandOffFloorNs(Threads, O.Calls);
      Cpu.push_back(0);
      const std::vector<double> Plugin = PluginLatencyNs(Threads, O.Calls, Cpu.back());
      F50.push_back(Percentile(Floor, 0.5));
      F99.push_back(Percentile(Floor, 0.99));
      P50.push_back(Percentile(Plugin, 0.5));
      P99.push_back(Percentile(Plugin, 0.99));
      RemoveLogs();
    }
    const std::string T = std::to_string(Threads) + (Threads == 1 ? " thread" : " threads");
    Row(("1. Command_Plugin p50, " + T).c_str(), Median(P50), Median(F50), "ns", false, 1.5, -1,
        Median(Cpu));
    Row(("1. Command_Plugin p99, " + T).c_str(), Median(P99), Median(F99), "ns", false, 5.0, -1,
        Median(Cpu));
  }
}

// ------------------------------------------------ 2. in-process round trips

// PollMicroseconds: see TTransportDouble::SetPolling (0: the double's thread
// sleeps between echoes and each send wakes it). CpuUs: the process's CPU
// time per round trip over the same span as the rate.
double RoundTripsPerSecond(const std::string& CopyName, int RoundTrips, int InFlight,
                           double& CpuUs, int32_t PollMicroseconds = 0) {
  TestSupport::TTransportDouble Double;
  Double.SetAutoEcho(true);
  Double.SetAutoDisconnect(true);
  Double.SetRecordCalls(false);
  Double.SetPolling(PollMicroseconds);
  TBenchHost Host(CopyName);
  Host.Init();
  Double.FireConnect();
  const std::string Command = Command128();
  const uint64_t Before = TBenchHost::Answers().load();
  const uint64_t CpuBefore = Platform::ProcessCpuMicroseconds();
  const auto Start = TClock::now();
  // At most InFlight commands unanswered; once that many are out, the host
  // waits until half of them are answered and tops up again, so it is woken
  // once per InFlight / 2 answers, as a host sending in batches would be,
  // rather than costing the worker a thread wake-up on every answer.
  for (int I = 0; I < RoundTrips; ++I) {
    const uint64_t Sent = static_cast<uint64_t>(I);
    if (Sent - (TBenchHost::Answers().load() - Before) >= static_cast<uint64_t>(InFlight)) {
      TBenchHost::WaitUntilAnswered(Before + Sent - static_cast<uint64_t>(InFlight / 2));
    }
    Host.Command(1, Command);
  }
  if (!TBenchHost::WaitForAnswers(Before + static_cast<uint64_t>(RoundTrips), 120000)) {
    std::fprintf(stderr, "round-trip run: answers missing\n");
  }
  const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  CpuUs = static_cast<double>(Platform::ProcessCpuMicroseconds() - CpuBefore) / RoundTrips;
  Double.ClearLog();
  return RoundTrips / Seconds;
}

// 2a and its floor, measured back to back in each repetition; Name's row.
void FileRoundTripRow(const TOptions& O, const char* Name, int32_t PollMicroseconds,
                      double TargetRatio) {
  // A log line of a 128-byte command is about 150 bytes with its time stamp.
  std::vector<double> File, Floor, Ratios, Cpu;
  for (int R = 0; R < O.Reps; ++R) {
    Floor.push_back(AppendFloorPerSecond(ProgramDir(), O.RoundTrips / 4, 150));
    Cpu.push_back(0);
    File.push_back(RoundTripsPerSecond("bench_file", O.RoundTrips / 4, O.InFlight, Cpu.back(),
                                       PollMicroseconds));
    Ratios.push_back(File.back() / Floor.back());
    RemoveLogs();
  }
  Row(Name, Median(File), Median(Floor), "1/s", true, TargetRatio, Median(Ratios), Median(Cpu));
}

void RoundTripRows(const TOptions& O) {
  std::vector<double> Client, ClientCpu;
  if (O.Part != 'b') {
    FileRoundTripRow(O, "2a. round trips/s, log to file", 0, 0.75);
    // The same with the double's thread polling for 200 us before it sleeps,
    // so that no send has a sleeping thread to wake: what is left is the
    // relay's own cost beside the log's (a real transport's receiving
    // thread is woken by the network, not by the worker).
    FileRoundTripRow(O, "2a, the double polling (diagnosis)", 200, -1);
  }
  if (O.Part == 'a') return;

  // The host's settings file hands this copy's log lines to the log client.
  const std::string Settings = ProgramDir() + Platform::FileNamePart(Platform::HostExePath(1024));
  const std::string SettingsPath =
      (Settings.rfind('.') != std::string::npos && Settings.rfind('.') > Settings.find_last_of("\\:")
           ? Settings.substr(0, Settings.rfind('.'))
           : Settings) +
      ".ini";
  const std::string Copy = "bench_client";
  WriteText(SettingsPath, "[Debug]\r\n" + Copy + ".so=take\r\n" + Copy + ".dll=take\r\n");
  for (int R = 0; R < O.Reps; ++R) {
    ClientCpu.push_back(0);
    Client.push_back(RoundTripsPerSecond(Copy, O.RoundTrips, O.InFlight, ClientCpu.back()));
  }
  std::error_code Error;
  fs::remove(Platform::ToNativePath(SettingsPath), Error);
  const bool Wrote = fs::exists(Platform::ToNativePath(ProgramDir() + "Logs"), Error);
  RemoveLogs();
  Row("2b. round trips/s, log client takes lines", Median(Client), 100000, "1/s", true, 1.0, -1,
      Median(ClientCpu));
  if (Wrote) std::printf("note: 2b wrote a log file: the log client was not in use\n");
}

// ------------------------------------------------ 4. memory of a queue

double HeapInUse() { return static_cast<double>(Platform::HeapBytesInUse()); }

void MemoryRows(const TOptions& O) {
  std::vector<double> Growth, After, Base;
  // One double for every repetition, keeping no record of calls, and a first
  // repetition not counted: whatever the double or the C library keep after
  // a first use is not the plug-in's memory.
  TestSupport::TTransportDouble Double;
  for (int R = -1; R < std::min(O.Reps, 3); ++R) {
    Double.Reset();
    Double.SetAutoEcho(true);
    Double.SetAutoDisconnect(true);
    Double.SetRecordCalls(false);
    TBenchHost Host("bench_memory");
    Host.Init();
    Platform::SleepMs(100);
    const double Start = HeapInUse();
    if (R >= 0) Base.push_back(Start);
    const std::string Command = Command128(100);
    const uint64_t Before = TBenchHost::Answers().load();
    for (int I = 0; I < O.Queue; ++I) Host.Command(1 + I % 16, Command);
    Platform::SleepMs(200);  // the worker has taken every command into its queue
    if (R >= 0) Growth.push_back(HeapInUse() - Start);
    Double.FireConnect();
    if (!TBenchHost::WaitForAnswers(Before + static_cast<uint64_t>(O.Queue), 120000)) {
      std::fprintf(stderr, "memory run: answers missing\n");
    }
    Double.ClearLog();
    Platform::SleepMs(100);
    if (R >= 0) After.push_back(HeapInUse() - Start);
    Host.Finalize();
    RemoveLogs();
  }
  const double Bound = 100000.0 * (109 + sizeof(void*));
  Row("4. heap growth, 100k queued 100-byte cmds", Median(Growth) * 100000.0 / O.Queue / 1024,
      Bound / 1024, "KiB", false, 1.5);
  // Back to within 10% of the heap in use before the commands were queued.
  const double Left = Median(After);
  const double Start = Median(Base);
  std::printf("| %-44s | %12.1f | %12.1f | %-9s | %6.2f | <= 1.10 | %-6s | %9s |\n",
              "4. heap after the queue drained vs before", (Start + Left) / 1024, Start / 1024,
              "KiB", (Start + Left) / Start, Start + Left <= 1.10 * Start ? "met" : "MISSED", "-");
}

// ------------------------------------------------ 6. CPU while idle

// The plug-in initialised and connected, the host sending nothing: the CPU
// time of the process over Seconds (the keep-alives included), beside the
// same time with no plug-in loaded. A spin that went on while idle would
// show here.
void IdleRow(const TOptions& O) {
  auto CpuOver = [&O] {
    const uint64_t Before = Platform::ProcessCpuMicroseconds();
    Platform::SleepMs(static_cast<uint32_t>(O.IdleSeconds) * 1000u);
    return static_cast<double>(Platform::ProcessCpuMicroseconds() - Before);
  };
  const double Bare = CpuOver();
  TestSupport::TTransportDouble Double;
  Double.SetAutoEcho(true);
  Double.SetAutoDisconnect(true);
  Double.SetRecordCalls(false);
  TBenchHost Host("bench_idle");
  Host.Init();
  Double.FireConnect();
  // A few commands first, so that every spinning thread has been busy once.
  const uint64_t Before = TBenchHost::Answers().load();
  for (int I = 0; I < 100; ++I) Host.Command(1, Command128());
  TBenchHost::WaitForAnswers(Before + 100, 10000);
  Platform::SleepMs(100);
  const double Idle = CpuOver();
  Host.Finalize();
  RemoveLogs();
  const std::string Name = "6. CPU while idle, " + std::to_string(O.IdleSeconds) + " s connected";
  Row(Name.c_str(), Idle, Bare, "us", false, -1);
}

}  // namespace

int main(int Count, char** Arguments) {
  TOptions O;
  for (int I = 1; I + 1 < Count; I += 2) {
    const int Value = std::atoi(Arguments[I + 1]);
    if (std::strcmp(Arguments[I], "--reps") == 0) O.Reps = Value;
    if (std::strcmp(Arguments[I], "--calls") == 0) O.Calls = Value;
    if (std::strcmp(Arguments[I], "--round-trips") == 0) O.RoundTrips = Value;
    if (std::strcmp(Arguments[I], "--queue") == 0) O.Queue = Value;
    if (std::strcmp(Arguments[I], "--idle-seconds") == 0) O.IdleSeconds = Value;
    if (std::strcmp(Arguments[I], "--only") == 0) {
      O.Only = Value;
      O.Part = Arguments[I + 1][0] != '\0' ? Arguments[I + 1][1] : '\0';
    }
  }
  std::printf("| %-44s | %12s | %12s | %-9s | %6s | %-7s | %-6s | %9s |\n", "Measure", "Velmora",
              "Floor", "Unit", "Ratio", "Target", "Result", "CPU us/rt");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
              std::string(14, '-').c_str(), std::string(14, '-').c_str(), std::string(11, '-').c_str(),
              std::string(8, '-').c_str(), std::string(9, '-').c_str(), std::string(8, '-').c_str(),
              std::string(11, '-').c_str());
  try {
    RemoveLogs();
    if (O.Only == 0 || O.Only == 1) LatencyRows(O);
    if (O.Only == 0 || O.Only == 2) RoundTripRows(O);
    if (O.Only == 0 || O.Only == 4) MemoryRows(O);
    if ((O.Only == 0 || O.Only == 6) && O.IdleSeconds > 0) IdleRow(O);
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "velmora-bench: %s\n", Error.what());
    return 1;
  }
  return 0;
}
