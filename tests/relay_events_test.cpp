// Connection events and the idle keep-alive as the log and the transport
// double see them. The keep-alive cases wait out the real 10-second idle
// period of the plug-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::Packed;
using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;

namespace {

int Count(const std::vector<std::string>& Lines, const std::string& Text) {
  int Found = 0;
  for (const auto& Line : Lines) Found += Line == Text ? 1 : 0;
  return Found;
}

const char ConnectedLine[] = "FS Client connected to FileServer";
const char DisconnectedLine[] = "FS Client disconnected from FileServer";
// "Не удалось ... (" in code page 1251, for the operations used below.
const std::string ActivateText =
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (0.0.0.0:0,127.0.0.1:25001).";
const std::string SendText =
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE2\xFB\xF1\xEB\xE0\xF2\xFC \xE4\xE0\xED\xED\xFB\xE5 "
    "\xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0 (0.0.0.0:0,127.0.0.1:25001).";

constexpr uint32_t IdlePeriodMs = 10000;

}  // namespace

TEST(ConnectionEvents, ConnectAndLossAreLoggedOnce) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Double.FireDisconnect());  // already down: nothing more
  ASSERT_TRUE(Double.FireConnect());
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(Count(Log, ConnectedLine), 2);
  EXPECT_EQ(Count(Log, DisconnectedLine), 1);
}

TEST(ConnectionEvents, AttemptThatNeverCameUpLogsNoLoss) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireDisconnect());
  Host.Finalize();
  EXPECT_EQ(Count(Host.LogLines(), DisconnectedLine), 0);
}

TEST(ConnectionEvents, FinalizeWhileConnectedDisconnectsWithoutTheLossLine) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  Host.Finalize();
  EXPECT_GE(Double.CallCount("DisconnectFromServer"), 1);
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 1);
  EXPECT_EQ(Count(Host.LogLines(), DisconnectedLine), 0);
  EXPECT_EQ(Host.LogLines().back(), "Finalize_Plugin");
}

TEST(ConnectionEvents, ActivationFailureAtStartIsLoggedAndCancelled) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetResult("ConnectToServer", 3);
  TPluginHost Host;
  Host.Init(1);
  Host.Finalize();
  const auto Log = Host.LogLines();
  ASSERT_GE(Log.size(), 3u);
  EXPECT_EQ(Log[0], "Init_Plugin: Velmora");
  EXPECT_EQ(Log[1], "FSClient Error (TermID=100, Operate=2, Error=" + ActivateText + "(3))");
  EXPECT_EQ(Log[2], "FS Client started");
}

TEST(KeepAlive, IdleConnectedClientSendsAnEmptyMessage) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  const uint64_t Deadline = Platform::TickCountMs() + IdlePeriodMs + 5000;
  while (Double.CallCount("SendToServer") == 0 && Platform::TickCountMs() < Deadline) {
    Platform::SleepMs(50);
  }
  EXPECT_EQ(Double.LastSendSize(), 0);
  EXPECT_NE(Double.CallLog().find("SendToServer(100,null,0)"), std::string::npos)
      << Double.CallLog();
  Host.Finalize();
}

TEST(KeepAlive, NothingIsSentOrLoggedWhileDisconnected) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host;
  Host.Init(1);
  Platform::SleepMs(IdlePeriodMs + 1500);
  Host.Finalize();
  EXPECT_EQ(Double.CallCount("SendToServer"), 0);
  const auto Log = Host.LogLines();
  const std::vector<std::string> Expected = {"Init_Plugin: Velmora", "FS Client started",
                                             "FS Client stopped.", "Finalize_Plugin"};
  EXPECT_EQ(Log, Expected);
}

TEST(KeepAlive, RefusedKeepAliveIsLoggedAndTheWorkerGoesOn) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  Double.SetAutoEcho(true);
  Double.SetResult("SendToServer", 3);
  TPluginHost Host;
  Host.Init(1);
  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Host.WaitForLogLine("SEND KEEP ALIVE EXCEPTION: ", true, IdlePeriodMs + 5000));
  Double.SetResult("SendToServer", 0);
  Host.Command(3, Packed({"Operation=1"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  Host.Finalize();
  const auto Log = Host.LogLines();
  EXPECT_EQ(Count(Log, "FSClient Error (TermID=100, Operate=4, Error=" + SendText + "(3))"), 1);
  EXPECT_EQ(Count(Log, "SEND KEEP ALIVE EXCEPTION: " + SendText + " teINVALIDPARAMS(3)"), 1);
}
