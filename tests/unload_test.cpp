// Libraries loaded and unloaded many times in one process must give back what
// their runtime took: thread-local-storage slots (a process has 1,088 on
// Windows; a statically linked runtime that keeps one per load makes the
// 1,089th load abort) and handles. The plug-in and the stand-in libraries it
// loads are each cycled by the hundred and the process's free slots counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

#include "log/UniLog.h"
#include "platform/Libraries.h"
#include "platform/Thread.h"
#include "platform/testing/HostObjects.h"
#include "platform/testing/ThreadSlots.h"
#include "plugin/PluginApi.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/PluginLibrary.h"
#include "tests/support/RequiredEntry.h"
#include "tests/support/TestSupport.h"
#include "standins/transport-double/DoubleControl.h"
#include "transport/TransportApi.h"

using namespace TestSupport;

namespace {

// Cycles per case; UNLOAD_CYCLES raises it for long runs (beyond 1,088 a
// slot leaked per unload ends the process under Windows or Wine).
int Cycles(int Default) {
  const char* Wanted = std::getenv("UNLOAD_CYCLES");
  return Wanted != nullptr && std::atoi(Wanted) > 0 ? std::atoi(Wanted) : Default;
}

// The first built of Names found in bin (or in one of its sub-folders),
// Windows form.
std::string BuiltLibrary(const std::string& Folder, const std::string& WindowsName,
                         const std::string& NativeName) {
  for (const std::string& Name : {WindowsName, NativeName}) {
    const std::string Candidate = BinaryDir() + Folder + Name;
    if (FileExists(Candidate)) return Candidate;
  }
  throw std::runtime_error(WindowsName + " is not built beside the test program");
}

// What one test counts before and after its cycles.
struct TProcessCounts {
  int32_t FreeSlots = 0;
  int32_t Handles = 0;
};

TProcessCounts Count() { return {Platform::CountFreeThreadSlots(), Platform::CountOpenHandles()}; }

// Runs Cycle once uncounted (the first load maps system libraries that stay,
// and they may take slots and handles of their own), then Times more, and
// checks that the process has as many free slots as before and no more
// handles (fewer is fine: Wine closes some of its own start-up handles).
// BeforeCount, when given, runs just before each count.
void ExpectNothingKept(const char* What, int Times, const std::function<void()>& Cycle,
                       const std::function<void()>& BeforeCount = nullptr) {
  Cycle();
  if (BeforeCount) BeforeCount();
  const TProcessCounts Before = Count();
  for (int I = 0; I < Times; ++I) {
    Cycle();
    if (::testing::Test::HasFatalFailure()) FAIL() << What << ", cycle " << I;
  }
  if (BeforeCount) BeforeCount();
  const TProcessCounts After = Count();
  std::printf("%s: %d cycles, free thread slots %d -> %d, handles %d -> %d\n", What, Times,
              Before.FreeSlots, After.FreeSlots, Before.Handles, After.Handles);
  ::testing::Test::RecordProperty("free_slots_before", Before.FreeSlots);
  ::testing::Test::RecordProperty("free_slots_after", After.FreeSlots);
  ::testing::Test::RecordProperty("handles_before", Before.Handles);
  ::testing::Test::RecordProperty("handles_after", After.Handles);
  EXPECT_GT(Before.FreeSlots, 0);
  EXPECT_EQ(After.FreeSlots, Before.FreeSlots) << What;
  if (Before.Handles >= 0) {
    EXPECT_LE(After.Handles, Before.Handles) << What;
  }
}

// A private copy of the plug-in (its own settings file and log files) in a
// folder of its own, loaded afresh for every cycle. The transport library is
// found as the host would find it, beside the program, and is loaded and
// released by the plug-in.
class TUnloadCopy {
public:
  const std::string& LibraryPath() const { return Copy.Path(); }

private:
  static std::string Name(const std::string& Source) {
    std::random_device Random;
    return "Velmora_unload_" + std::to_string(Random()) + Source.substr(Source.rfind('.'));
  }
  const std::string Source = BuiltPluginPath({BinaryDir()});
  TScratchDir Folder;
  // The transport double takes the address but never uses it.
  TPluginCopy Copy{Source, Folder.Path() + Name(Source),
                   "[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=1\r\n"};
};

// Answers the plug-in handed back; the test thread waits for them.
std::atomic<int32_t> Answers{0};
void VELMORA_STDCALL CountAnswer(int32_t, const char*, const void*, int32_t, uintptr_t) {
  Answers.fetch_add(1);
}

bool WaitForAnswers(int32_t Count) {
  const uint64_t Deadline = Platform::TickCountMs() + 5000;
  while (Answers.load() < Count) {
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(1);
  }
  return true;
}

// Load, initialise, connect, four commands answered by the transport double's
// echo, finalise, unload. The double is loaded by the plug-in; the test holds
// it only from the connection to the plug-in's finalisation, so both
// libraries are unloaded at the end of every cycle. AfterFinalize, when
// given, runs between Finalize_Plugin and the unloads.
void PluginWorkCycle(const std::string& Path,
                     const std::function<void()>& AfterFinalize = nullptr) {
  Answers.store(0);
  const Platform::TLibrary Library = Platform::LoadLibraryByName(Path);
  ASSERT_NE(Library, nullptr) << Path;
  const auto Init = RequiredEntry<decltype(&Init_Plugin)>(Library, "Init_Plugin");
  const auto Command = RequiredEntry<decltype(&Command_Plugin)>(Library, "Command_Plugin");
  const auto Finalize = RequiredEntry<decltype(&Finalize_Plugin)>(Library, "Finalize_Plugin");
  const char* Name = nullptr;
  Init(&Name, &CountAnswer, 7);
  const Platform::TLibrary Double = Platform::LoadLibraryByName("cl_vexo_transport.dll");
  ASSERT_NE(Double, nullptr);
  RequiredEntry<TDouble_SetAutoEcho>(Double, "Double_SetAutoEcho")(1, 0, "", 0);
  // The plug-in's finalisation waits for the disconnection to be reported.
  RequiredEntry<TDouble_SetAutoDisconnect>(Double, "Double_SetAutoDisconnect")(1);
  EXPECT_EQ(RequiredEntry<TDouble_FireConnect>(Double, "Double_FireConnect")(), 1);
  static const char Packed[] = "Operation=6\0UserData=unload\0";
  for (int32_t Session = 1; Session <= 4; ++Session) {
    Command(Session, Packed, sizeof(Packed) - 1);
  }
  EXPECT_TRUE(WaitForAnswers(4));
  Finalize();
  if (AfterFinalize) AfterFinalize();
  RequiredEntry<TDouble_Reset>(Double, "Double_Reset")();  // its notifier ends
  Platform::UnloadLibrary(Double);
  Platform::UnloadLibrary(Library);
}

}  // namespace

TEST(LibraryUnload, PluginLoadAndUnloadKeepNoThreadSlot) {
  const TUnloadCopy Copy;
  ExpectNothingKept("plug-in load/unload", Cycles(200), [&] {
    const Platform::TLibrary Library = Platform::LoadLibraryByName(Copy.LibraryPath());
    ASSERT_NE(Library, nullptr);
    Platform::UnloadLibrary(Library);
  });
}

// At unload the library entry closes the semaphores and frees the slots its
// runtime left, by value: a value on its record that was released by a path
// the record did not see, and handed to the host since, would be closed or
// freed under the host. So after each Finalize_Plugin (the plug-in's own
// objects just closed) and again after each unload, the host takes the
// values just released (the system hands out the lowest free ones first)
// and holds them for the next 20 cycles; after every cycle each must still
// be its own. They are let go before each count.
TEST(LibraryUnload, PluginWorkCyclesKeepNoThreadSlotOrHandle) {
  const TUnloadCopy Copy;
  Platform::THostObjects Held;
  constexpr int EachCycle = 6;
  int Done = 0;
  ExpectNothingKept(
      "plug-in and transport double, load to unload", Cycles(120),
      [&] {
        PluginWorkCycle(Copy.LibraryPath(), [&] { EXPECT_TRUE(Held.Open(EachCycle)); });
        ASSERT_EQ(Held.Broken(), 0) << "cycle " << Done << " closed or freed a host object";
        ++Done;
        ASSERT_TRUE(Held.Open(EachCycle));
        if (Held.Size() > 40 * EachCycle) Held.CloseOldest(2 * EachCycle);
      },
      [&] { Held.CloseOldest(Held.Size()); });
  std::printf("host objects on freed values checked after each of %d cycles\n", Done);
}

// The TCP transport: a termination made, connected to a port nobody listens
// on (its connection thread runs and fails), destroyed, the library released.
TEST(LibraryUnload, TcpTransportCyclesKeepNoThreadSlot) {
  const std::string Path =
      BuiltLibrary("tcp\\", "cl_vexo_transport.dll", "cl_vexo_transport.so");
  ExpectNothingKept("TCP transport", Cycles(60), [&] {
    const Platform::TLibrary Library = Platform::LoadLibraryByName(Path);
    ASSERT_NE(Library, nullptr);
    const auto Create = RequiredEntry<TCreateTermination>(Library, "CreateTermination");
    const auto Connect = RequiredEntry<TConnectToServer>(Library, "ConnectToServer");
    const auto Destroy = RequiredEntry<TDestroyTermination>(Library, "DestroyTermination");
    int32_t TermID = 0;
    ASSERT_EQ(Create("127.0.0.1:0,127.0.0.1:1", nullptr, nullptr, nullptr, nullptr, &TermID,
                     nullptr),
              teSUCCESS);
    Connect(TermID);
    EXPECT_EQ(Destroy(TermID), teSUCCESS);
    Platform::UnloadLibrary(Library);
  });
}

// One cycle of a log client: loaded, initialised with Setting (which it must
// take), one line offered, finalised, released.
void LogClientCycle(const std::string& Path, const char* Setting) {
  const Platform::TLibrary Library = Platform::LoadLibraryByName(Path);
  ASSERT_NE(Library, nullptr);
  ASSERT_EQ(RequiredEntry<TLogClientInitialize>(Library, "DLL_Initialize")(Setting, 500) & 0xFF, 1u);
  RequiredEntry<TLogClientMessage>(Library, "DLL_MessageToLogServer")(41381.5, "host.exe", "Velmora.dll", "",
                                                                       "line");
  RequiredEntry<TLogClientFinalize>(Library, "DLL_Finalize")();
  Platform::UnloadLibrary(Library);
}

TEST(LibraryUnload, LogClientCyclesKeepNoThreadSlot) {
  const std::string Path = BuiltLibrary("logclient\\", "LogClient.dll", "LogClient.so");
  ExpectNothingKept("log client", Cycles(60), [&] { LogClientCycle(Path, "take"); });
}

// The syslog client: its thread starts at DLL_Initialize and is let go at
// DLL_Finalize without being waited for to the end; it holds the library
// until it has left. So each cycle's thread must be gone soon after the
// unload, and then no slot or handle may stay. UDP and TCP (to a port nobody
// listens on) in turn. Each cycle runs on a thread of its own: under Wine a
// UDP send that cannot complete at once leaves the sending thread an event
// of the system's for the rest of its life, which is not the library's.
TEST(LibraryUnload, SyslogClientCyclesEndTheirThreadsAndKeepNoThreadSlotOrHandle) {
  const std::string Path = BuiltLibrary("syslog\\", "LogClient.dll", "LogClient.so");
  int Cycle = 0;
  // The threads once the first cycle is over: a sanitizer's runtime may have
  // started one of its own by then, which stays.
  int32_t Floor = -1;
  ExpectNothingKept("syslog client", Cycles(60), [&] {
    const int32_t Threads = Floor >= 0 ? Floor : Platform::CountThreads();
    const char* const Setting = ++Cycle % 2 == 0 ? "udp://127.0.0.1:9" : "tcp://127.0.0.1:1";
    LogTestSupport::RunOnThreads(1, [&](int) { LogClientCycle(Path, Setting); });
    if (::testing::Test::HasFatalFailure()) return;
    const uint64_t Deadline = Platform::TickCountMs() + 3000;
    while (Platform::CountThreads() > Threads && Platform::TickCountMs() < Deadline) {
      Platform::SleepMs(5);
    }
    if (Floor < 0) {
      Floor = Platform::CountThreads();
      return;
    }
    ASSERT_LE(Platform::CountThreads(), Threads) << "the client's thread did not end";
  });
}
