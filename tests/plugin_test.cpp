// The plug-in at its boundary: the four entry points, the manager's life
// cycle and its settings file, driven through a private copy of the library
// with the transport double in place of the transport library.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Thread.h"
#include "platform/testing/WineProbe.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::Packed;
using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;

namespace {

std::vector<std::string> Lines(std::initializer_list<const char*> Texts) {
  return std::vector<std::string>(Texts.begin(), Texts.end());
}

bool Contains(const std::vector<std::string>& Lines, const std::string& Text) {
  for (const auto& Line : Lines) {
    if (Line == Text) return true;
  }
  return false;
}

}  // namespace

// ------------------------------------------------------------- entry points

TEST(EntryPoints, NameBeforeInitIsTheStaticTextAndIsLogged) {
  TPluginHost Host;
  const char* Name = Host.GetName();
  ASSERT_NE(Name, nullptr);
  EXPECT_STREQ(Name, "Velmora");
  EXPECT_EQ(Host.GetName(), Name);  // the same static text every time
  EXPECT_EQ(Host.LogLines(), Lines({"GetName_Plugin", "GetName_Plugin"}));
}

TEST(EntryPoints, ZeroLengthCommandIsIgnoredSilentlyBeforeAndAfterInit) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  EXPECT_EQ(Host.CommandRaw(1, "x", 0), 0);
  EXPECT_EQ(Host.CommandRaw(1, nullptr, 0), 0);
  EXPECT_TRUE(Host.LogLines().empty());
  Host.Init(7);
  ASSERT_TRUE(Host.WaitForLogLine("FS Client started"));
  const size_t Before = Host.LogLines().size();
  EXPECT_EQ(Host.CommandRaw(1, "x", 0), 0);
  Host.Finalize();
  const auto After = Host.LogLines();
  ASSERT_EQ(After.size(), Before + 2);
  EXPECT_EQ(After[Before], "FS Client stopped.");
  EXPECT_EQ(After[Before + 1], "Finalize_Plugin");
}

TEST(EntryPoints, CommandWithoutManagerPanicsBeforeInitAndAfterFinalize) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  EXPECT_EQ(Host.Command(3, Packed({"Operation=1"})), 0);
  Host.Init(1);
  Host.Finalize();
  EXPECT_EQ(Host.Command(4, Packed({"Operation=1"})), 0);
  const auto Log = Host.LogLines();
  ASSERT_GE(Log.size(), 2u);
  EXPECT_EQ(Log.front(), "PLUGIN PANIC: Plugin is not initialized!");
  EXPECT_EQ(Log.back(), "PLUGIN PANIC: Plugin is not initialized!");
  EXPECT_EQ(Double.CallCount("SendToServer"), 0);
}

TEST(EntryPoints, FinalizeWithoutInitOnlyLogsItself) {
  TPluginHost Host;
  Host.Finalize();
  EXPECT_EQ(Host.LogLines(), Lines({"Finalize_Plugin"}));
}

TEST(EntryPoints, InitAndFinalizeFrameTheManagersLines) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  const char* Name = Host.Init(42);
  ASSERT_NE(Name, nullptr);
  EXPECT_STREQ(Name, "Velmora");
  Host.Finalize();
  const auto Log = Host.LogLines();
  ASSERT_GE(Log.size(), 4u);
  EXPECT_EQ(Log.front(), "Init_Plugin: Velmora");
  EXPECT_EQ(Log[Log.size() - 3], "FS Client started");
  EXPECT_EQ(Log[Log.size() - 2], "FS Client stopped.");
  EXPECT_EQ(Log.back(), "Finalize_Plugin");
}

TEST(EntryPoints, SecondInitReleasesTheFirstManagerAndTheNewestCallerWins) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoEcho(true);
  TPluginHost Host;
  Host.Init(1);
  Host.Init(2);
  EXPECT_EQ(Double.CallCount("CreateTermination"), 2);
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 1);
  ASSERT_TRUE(Double.FireConnect());
  Host.Command(5, Packed({"Operation=6"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  EXPECT_EQ(TPluginHost::Calls().front().UserValue, 2u);
  Host.Finalize();
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 2);
  const auto Log = Host.LogLines();
  const std::vector<std::string> Expected = {"Init_Plugin: Velmora", "FS Client started",
                                             "Init_Plugin: Velmora", "FS Client stopped.",
                                             "FS Client started"};
  ASSERT_GE(Log.size(), Expected.size());
  EXPECT_EQ(std::vector<std::string>(Log.begin(), Log.begin() + 5), Expected);
  EXPECT_EQ(Log.back(), "Finalize_Plugin");
}

TEST(EntryPoints, NullCallbackSendsCommandsAndNeverCallsBack) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoEcho(true);
  TPluginHost Host;
  Host.Init(9, /*NullCallback=*/true);
  ASSERT_TRUE(Double.FireConnect());
  Host.Command(5, Packed({"Operation=6", "Path=x"}));
  // Finalize takes the connection down first: let the command go out before.
  const uint64_t Deadline = Platform::TickCountMs() + 5000;
  while (Double.CallCount("SendToServer") == 0 && Platform::TickCountMs() < Deadline) {
    Platform::SleepMs(2);
  }
  Platform::SleepMs(50);  // an echo, were one to come, reaches the worker
  Host.Finalize();
  EXPECT_EQ(Double.CallCount("SendToServer"), 1);
  EXPECT_TRUE(TPluginHost::Calls().empty());
  for (const auto& Line : Host.LogLines()) {
    EXPECT_EQ(Line.find("Receive response"), std::string::npos) << Line;
  }
}

TEST(EntryPoints, CallbackCarriesTheUserValueAndTheStaticNameOnTheWorker) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoEcho(true);
  TPluginHost Host;
  const char* Name = Host.Init(0x5EED);
  ASSERT_TRUE(Double.FireConnect());
  for (int Session = 1; Session <= 3; ++Session) Host.Command(Session, Packed({"Operation=1"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(3));
  const auto Calls = TPluginHost::Calls();
  for (size_t I = 0; I < Calls.size(); ++I) {
    EXPECT_EQ(Calls[I].SessionACT, static_cast<int32_t>(I + 1));
    EXPECT_EQ(Calls[I].UserValue, 0x5EEDu);
    EXPECT_EQ(Calls[I].PluginNamePointer, Name);
    EXPECT_EQ(Calls[I].PluginName, "Velmora");
    EXPECT_NE(Calls[I].ThreadId, Platform::CurrentThreadId());
    EXPECT_EQ(Calls[I].ThreadId, Calls[0].ThreadId);  // one worker thread
  }
  Host.Finalize();
}

TEST(EntryPoints, HostBufferMayBeReusedRightAfterTheCall) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  std::string Buffer = Packed({"Operation=7", "Path=C:\\a"});
  Host.Command(5, Buffer);
  Buffer.assign(Buffer.size(), 'Z');  // overwritten at once
  const uint64_t Deadline = Platform::TickCountMs() + 5000;
  while (Double.CallCount("SendToServer") == 0 && Platform::TickCountMs() < Deadline) {
    Platform::SleepMs(2);
  }
  Host.Finalize();
  EXPECT_EQ(Double.LastSendBytes(), std::string("\x07Path=C:\\a\0UserData=Sess=5\0", 27));
}

// ----------------------------------------------------------------- settings

namespace {

// Runs one Init/Finalize with the given settings text (none when empty) and
// returns the connection text the client created and the file afterwards.
struct TSettingsRun {
  std::string ConnectionText;
  std::string FileAfter;
  std::vector<std::string> Log;
};

TSettingsRun RunWithSettings(const std::string& Settings) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host(Settings);
  Host.Init(1);
  Host.Finalize();
  TSettingsRun Run;
  const std::string Calls = Double.CallLog();
  const size_t Start = Calls.find("CreateTermination(");
  if (Start != std::string::npos) {
    const size_t Open = Start + sizeof("CreateTermination(") - 1;
    Run.ConnectionText = Calls.substr(Open, Calls.find(')', Open) - Open);
  }
  Run.FileAfter = TestSupport::ReadFileBytes(Host.SettingsPath());
  Run.Log = Host.LogLines();
  return Run;
}

}  // namespace

TEST(Settings, FirstStartUsesTheDefaultsAndWritesThemBack) {
  const auto Run = RunWithSettings("");
  EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,127.0.0.1:25001");
  EXPECT_NE(Run.FileAfter.find("[Server]"), std::string::npos) << Run.FileAfter;
  EXPECT_NE(Run.FileAfter.find("FSServerAddr=127.0.0.1"), std::string::npos) << Run.FileAfter;
  EXPECT_NE(Run.FileAfter.find("FSServerPort=25001"), std::string::npos) << Run.FileAfter;
}

TEST(Settings, PortIsReadAsIntegerTextKeepingTheLow16Bits) {
  EXPECT_EQ(RunWithSettings("[Server]\r\nFSServerAddr=192.0.2.10\r\nFSServerPort=0x61AA\r\n")
                .ConnectionText,
            "0.0.0.0:0,192.0.2.10:25002");
  EXPECT_EQ(RunWithSettings("[Server]\r\nFSServerAddr=h\r\nFSServerPort=70000\r\n").ConnectionText,
            "0.0.0.0:0,h:4464");
}

TEST(Settings, PresentKeysAreNeverRewritten) {
  const std::string Text = "[Server]\r\nFSServerAddr=10.1.1.1\r\nFSServerPort=abc\r\n";
  const auto Run = RunWithSettings(Text);
  EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,10.1.1.1:25001");
  EXPECT_EQ(Run.FileAfter, Text);
}

TEST(Settings, EmptyAddressIsKeptAndNotRewritten) {
  const std::string Text = "[Server]\r\nFSServerAddr=\r\nFSServerPort=25005\r\n";
  const auto Run = RunWithSettings(Text);
  EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,:25005");
  EXPECT_EQ(Run.FileAfter, Text);
}

TEST(Settings, MissingPortIsAddedAndTheAddressLineLeftAsItWas) {
  const auto Run = RunWithSettings("[Server]\r\nFSServerAddr = 192.0.2.7\r\n");
  EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,192.0.2.7:25001");
  EXPECT_NE(Run.FileAfter.find("FSServerPort=25001"), std::string::npos) << Run.FileAfter;
  // Wine's profile writer respaces the lines it rewrites; Windows keeps the
  // existing line as it was. Either way the address itself stays.
  const std::string AddressLine =
      Platform::RunningUnderWine() ? "FSServerAddr=192.0.2.7" : "FSServerAddr = 192.0.2.7";
  EXPECT_NE(Run.FileAfter.find(AddressLine), std::string::npos) << Run.FileAfter;
}

TEST(Settings, UnwritableSettingsFileIsLoggedAndTheManagerStillStarts) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  // A folder where the settings file should be: it can be neither read nor written.
  std::filesystem::create_directory(Platform::ToNativePath(Host.SettingsPath()));
  Host.Init(1);
  Host.Finalize();
  std::filesystem::remove(Platform::ToNativePath(Host.SettingsPath()));
  const auto Log = Host.LogLines();
  int WriteFailures = 0;
  for (const auto& Line : Log) {
    if (Line.rfind("ERR: Settings write fail: cannot write FSServer", 0) != 0) continue;
    ++WriteFailures;
    // The system's text is trimmed: no line end (written as \r\n), no dot
    // before the code.
    EXPECT_EQ(Line.find("\\r"), std::string::npos) << Line;
    const size_t Code = Line.rfind('(');
    ASSERT_NE(Code, std::string::npos) << Line;
    EXPECT_NE(Line[Code - 1], '.') << Line;
    EXPECT_GT(static_cast<unsigned char>(Line[Code - 1]), ' ') << Line;
  }
  EXPECT_EQ(WriteFailures, 2);
  EXPECT_TRUE(Contains(Log, "FS Client started"));
  EXPECT_EQ(Double.CallCount("CreateTermination"), 1);
}
