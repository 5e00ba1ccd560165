// The command and response paths end to end inside the process: bytes the
// host hands in, bytes the transport double receives, bytes the host gets
// back, and the log lines in between.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::Packed;
using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;
using TestSupport::Unpacked;

namespace {

std::string Bytes(const char* Text, size_t Size) { return std::string(Text, Size); }

// A plug-in with a connected double, ready for commands and responses.
struct TConnected {
  TTransportDouble Double;
  TPluginHost Host;
  explicit TConnected(bool AutoEcho = false) {
    if (AutoEcho) Double.SetAutoEcho(true);
    Double.SetAutoDisconnect(true);  // Finalize then need not wait for the notice
    Host.Init(77);
    EXPECT_TRUE(Double.FireConnect());
  }
  // Sends one command and waits until the worker has handled it.
  std::string SendAndCapture(int32_t Session, const std::string& Command) {
    const int32_t Before = Double.CallCount("SendToServer");
    Host.Command(Session, Command);
    const uint64_t Deadline = Platform::TickCountMs() + 5000;
    while (Double.CallCount("SendToServer") == Before && Platform::TickCountMs() < Deadline) {
      Platform::SleepMs(2);
    }
    return Double.LastSendBytes();
  }
  std::vector<std::string> LinesWith(const std::string& Prefix) const {
    std::vector<std::string> Found;
    for (const auto& Line : Host.LogLines()) {
      if (Line.rfind(Prefix, 0) == 0) Found.push_back(Line);
    }
    return Found;
  }
};

}  // namespace

// ------------------------------------------------------------- command path

TEST(CommandPath, RequestCarriesTheOperationByteAndWrapsTheSession) {
  TConnected Plugin;
  const std::string Sent = Plugin.SendAndCapture(5, Packed({"Operation=7", "Path=C:\\a"}));
  EXPECT_EQ(Sent, Bytes("\x07Path=C:\\a\0UserData=Sess=5\0", 27));
  EXPECT_EQ(Plugin.LinesWith("Command_Plugin"),
            std::vector<std::string>{"Command_Plugin [SessionACT=5], Params=Operation=7,Path=C:\\a"});
}

TEST(CommandPath, HostUserDataKeepsItsPlaceAndTravelsAsSrcUserData) {
  TConnected Plugin;
  EXPECT_EQ(Plugin.SendAndCapture(5, Packed({"Operation=7", "UserData=xyz", "Path=C:\\a"})),
            Packed({"\x07UserData=Sess=5,SrcUserData=xyz", "Path=C:\\a"}));
  EXPECT_EQ(Plugin.SendAndCapture(17, Packed({"Operation=1", "UserData=a b"})),
            Packed({"\x01UserData=Sess=17,\"SrcUserData=a b\""}));
  EXPECT_EQ(Plugin.SendAndCapture(-3, Packed({"Operation=1", "UserData="})),
            Packed({"\x01UserData=Sess=-3"}));
}

TEST(CommandPath, OperationByteDefaultsToFourAndKeepsTheLow8Bits) {
  TConnected Plugin;
  EXPECT_EQ(Plugin.SendAndCapture(1, Packed({"Path=p"})), Packed({"\x04Path=p", "UserData=Sess=1"}));
  EXPECT_EQ(Plugin.SendAndCapture(1, Packed({"Operation=abc", "Path=p"})),
            Packed({"\x04Path=p", "UserData=Sess=1"}));
  EXPECT_EQ(Plugin.SendAndCapture(1, Packed({"Operation=260", "Path=p"})),
            Packed({"\x04Path=p", "UserData=Sess=1"}));
  EXPECT_EQ(Plugin.SendAndCapture(1, Packed({"operation=$FF"})), Bytes("\xFFUserData=Sess=1\0", 17));
}

TEST(CommandPath, OnlyTheFirstOperationItemIsConsumed) {
  TConnected Plugin;
  EXPECT_EQ(Plugin.SendAndCapture(2, Packed({"Operation=3", "Operation=9", "A=1"})),
            Packed({"\x03Operation=9", "A=1", "UserData=Sess=2"}));
}

TEST(CommandPath, PackedBlockIsReadToItsLastByte) {
  TConnected Plugin;
  // a, NUL, NUL, b (no final NUL): the items a, an empty item and b.
  EXPECT_EQ(Plugin.SendAndCapture(6, Bytes("a\0\0b", 4)), Bytes("\x04" "a\0\0b\0UserData=Sess=6\0", 22));
  EXPECT_EQ(Plugin.LinesWith("Command_Plugin").back(), "Command_Plugin [SessionACT=6], Params=a,,b");
}

TEST(CommandPath, UnreachableServerLogsThreeLinesInOrderAndNeverCallsBack) {
  TTransportDouble Double;
  TPluginHost Host;
  Host.Init(1);  // never connected: the send waits its 1000 ms and fails
  Host.Command(5, Packed({"Operation=7", "Path=C:\\a"}));
  ASSERT_TRUE(Host.WaitForLogLine("ProcessCommand [SessionACT=5] EXCEPTION: ", true, 5000));
  Host.Finalize();
  const std::string Message =
      "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE2\xFB\xF1\xEB\xE0\xF2\xFC \xE4\xE0\xED\xED\xFB\xE5 "
      "\xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0 (0.0.0.0:0,127.0.0.1:25001).";
  std::vector<std::string> Path;
  for (const auto& Line : Host.LogLines()) {
    if (Line.find("[SessionACT=5]") != std::string::npos || Line.rfind("FSClient", 0) == 0) {
      Path.push_back(Line);
    }
  }
  ASSERT_EQ(Path.size(), 3u);
  EXPECT_EQ(Path[0], "Command_Plugin [SessionACT=5], Params=Operation=7,Path=C:\\a");
  EXPECT_EQ(Path[1], "FSClient Error (TermID=" + std::to_string(100) + ", Operate=4, Error=" +
                         Message + "(2))")
      << "the double's first TermID is 100";
  EXPECT_EQ(Path[2], "ProcessCommand [SessionACT=5] EXCEPTION: " + Message + " teCONNECTTIMEOUTED(2)");
  EXPECT_EQ(Double.CallCount("SendToServer"), 0);
  EXPECT_TRUE(TPluginHost::Calls().empty());
}

TEST(CommandPath, OversizeRequestIsDroppedWithItsSizes) {
  TConnected Plugin;
  // 8185 bytes of item plus its NUL, plus UserData=Sess=1 and its NUL, plus
  // the operation byte: 8203 bytes, more than the 8192-byte buffer.
  Plugin.Host.Command(1, Packed({std::string(8185, 'x')}));
  // An item of 8174 bytes makes a request of exactly 8192 bytes: sent whole.
  const std::string Fits = std::string(8174, 'y');
  const std::string Sent = Plugin.SendAndCapture(1, Packed({Fits}));
  EXPECT_EQ(Sent.size(), 8192u);
  const auto Failures = Plugin.LinesWith("ProcessCommand [SessionACT=1] EXCEPTION: ");
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_NE(Failures[0].find("8203"), std::string::npos) << Failures[0];
  EXPECT_NE(Failures[0].find("8192"), std::string::npos) << Failures[0];
  EXPECT_EQ(Plugin.Double.CallCount("SendToServer"), 1);
}

TEST(CommandPath, NullDataWithALengthIsLoggedAndNothingQueued) {
  TConnected Plugin;
  EXPECT_EQ(Plugin.Host.CommandRaw(9, nullptr, 12), 0);
  const auto Failures = Plugin.LinesWith("Command_Plugin [SessionACT=9] EXCEPTION: ");
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_NE(Failures[0].find("12"), std::string::npos) << Failures[0];
  Plugin.Host.Finalize();
  EXPECT_EQ(Plugin.Double.CallCount("SendToServer"), 0);
}

// ------------------------------------------------------------ response path

TEST(ResponsePath, SessionAndHostUserDataAreRestoredAndCodesAppended) {
  TConnected Plugin;
  ASSERT_TRUE(Plugin.Double.FireReceive(
      Bytes("\x07\x00UserData=Sess=5,SrcUserData=xyz\0Size=10\0", 42)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  const auto Call = TPluginHost::Calls().front();
  EXPECT_EQ(Call.SessionACT, 5);
  EXPECT_EQ(Call.Length, 41);
  EXPECT_EQ(Call.Data, Packed({"UserData=xyz", "Size=10", "Error=0", "Operation=7"}));
  EXPECT_EQ(Call.UserValue, 77u);
  ASSERT_TRUE(Plugin.Host.WaitForLogLine("Send to SCENARIO [SessionACT=5], Params=", true));
  EXPECT_EQ(Plugin.LinesWith("Receive response"),
            std::vector<std::string>{
                "Receive response. Params=\"UserData=Sess=5,SrcUserData=xyz\",Size=10"});
  EXPECT_EQ(Plugin.LinesWith("Send to SCENARIO"),
            std::vector<std::string>{
                "Send to SCENARIO [SessionACT=5], Params=UserData=xyz,Size=10,Error=0,Operation=7"});
}

namespace {
// What the log held while the host's callback ran (on the worker thread;
// Lock hands it to the test thread).
struct TLogAtCallback {
  TPluginHost* Host = nullptr;
  Platform::TCriticalSection Lock;
  std::vector<std::string> Lines;
  std::vector<std::string> Taken() {
    Platform::TLockGuard Guard(Lock);
    return Lines;
  }
};
void ReadLogInside(const TestSupport::TCallbackCall&, void* Context) {
  auto* Seen = static_cast<TLogAtCallback*>(Context);
  std::vector<std::string> Lines = Seen->Host->LogLines();
  Platform::TLockGuard Guard(Seen->Lock);
  Seen->Lines = std::move(Lines);
}
}  // namespace

// "Send to SCENARIO" reports a callback that has returned: it is written
// after the call, never before it.
TEST(ResponsePath, SendToScenarioIsLoggedAfterTheCallbackReturns) {
  TConnected Plugin;
  TLogAtCallback Seen;
  Seen.Host = &Plugin.Host;
  TPluginHost::SetInsideCallback(&ReadLogInside, &Seen);
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\x07\x00UserData=Sess=5\0", 18)));
  ASSERT_TRUE(Plugin.Host.WaitForLogLine("Send to SCENARIO [SessionACT=5], Params=", true));
  TPluginHost::SetInsideCallback(nullptr, nullptr);
  const std::vector<std::string> AtCallback = Seen.Taken();
  ASSERT_FALSE(AtCallback.empty());
  EXPECT_EQ(AtCallback.back(), "Receive response. Params=UserData=Sess=5");
  EXPECT_EQ(Plugin.LinesWith("Send to SCENARIO").size(), 1u);
}

TEST(ResponsePath, MissingPiecesGiveSessionMinusOneAndNoUserData) {
  TConnected Plugin;
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\x07\x00UserData=Sess=5\0Size=10\0", 26)));
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\x01\x02", 2)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(2));
  const auto Calls = TPluginHost::Calls();
  EXPECT_EQ(Calls[0].SessionACT, 5);
  EXPECT_EQ(Calls[0].Data, Packed({"Size=10", "Error=0", "Operation=7"}));
  EXPECT_EQ(Calls[1].SessionACT, -1);
  EXPECT_EQ(Calls[1].Data, Packed({"Error=2", "Operation=1"}));
}

TEST(ResponsePath, ServerErrorItemIsReplacedInPlaceAndHighBytesStayPositive) {
  TConnected Plugin;
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\xC8\x03" "Error=99\0Size=10\0", 19)));
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\xFF\xFF", 2)));
  ASSERT_TRUE(TPluginHost::WaitForCalls(2));
  const auto Calls = TPluginHost::Calls();
  EXPECT_EQ(Calls[0].Data, Packed({"Error=3", "Size=10", "Operation=200"}));
  EXPECT_EQ(Calls[1].Data, Packed({"Error=255", "Operation=255"}));
}

TEST(ResponsePath, QuotedHostUserDataComesBackUnchanged) {
  TConnected Plugin(/*AutoEcho=*/true);
  Plugin.Host.Command(17, Packed({"Operation=2", "UserData=a b,\"c\"", "Path=x"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  const auto Call = TPluginHost::Calls().front();
  EXPECT_EQ(Call.SessionACT, 17);
  EXPECT_EQ(Call.Data, Packed({"UserData=a b,\"c\"", "Path=x", "Error=0", "Operation=2"}));
}

TEST(ResponsePath, NullCallbackDropsMessagesWithoutALine) {
  TTransportDouble Double;
  TPluginHost Host;
  Host.Init(1, /*NullCallback=*/true);
  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Double.FireReceive(Bytes("\x07\x00Size=1\0", 9)));
  Host.Finalize();
  for (const auto& Line : Host.LogLines()) {
    EXPECT_EQ(Line.find("response"), std::string::npos) << Line;
  }
}

TEST(ResponsePath, OneByteMessageIsDroppedWithALine) {
  TConnected Plugin;
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\x07", 1)));
  ASSERT_TRUE(Plugin.Host.WaitForLogLine("Receive response EXCEPTION: ", true));
  ASSERT_TRUE(Plugin.Double.FireReceive(Bytes("\x01\x00", 2)));  // the worker goes on
  ASSERT_TRUE(TPluginHost::WaitForCalls(1));
  EXPECT_EQ(TPluginHost::Calls().size(), 1u);
  EXPECT_EQ(TPluginHost::Calls().front().Data, Packed({"Error=0", "Operation=1"}));
}

TEST(ResponsePath, OversizeHostListIsDroppedWithItsSizes) {
  TConnected Plugin;
  // 2 header bytes and one item of 8187 bytes with its NUL: adding Error=0
  // and Operation=7 makes 8208 bytes, more than the 8192-byte buffer.
  std::string Message = Bytes("\x07\x00", 2) + std::string(8187, 'q');
  Message += '\0';
  ASSERT_TRUE(Plugin.Double.FireReceive(Message));
  ASSERT_TRUE(Plugin.Host.WaitForLogLine("Receive response EXCEPTION: ", true));
  const auto Failure = Plugin.LinesWith("Receive response EXCEPTION: ").front();
  EXPECT_NE(Failure.find("8208"), std::string::npos) << Failure;
  EXPECT_NE(Failure.find("8192"), std::string::npos) << Failure;
  Plugin.Host.Finalize();
  EXPECT_TRUE(TPluginHost::Calls().empty());
}

namespace {
struct TReentry {
  TPluginHost* Host = nullptr;
  int Sent = 0;
};
void CommandFromInside(const TestSupport::TCallbackCall& Call, void* Context) {
  auto* Reentry = static_cast<TReentry*>(Context);
  if (Call.SessionACT == 1 && Reentry->Sent == 0) {
    ++Reentry->Sent;
    Reentry->Host->Command(2, Packed({"Operation=5"}));
  }
}
}  // namespace

TEST(ResponsePath, HostMayQueueACommandFromInsideTheCallback) {
  TConnected Plugin(/*AutoEcho=*/true);
  TReentry Reentry{&Plugin.Host};
  TPluginHost::SetInsideCallback(&CommandFromInside, &Reentry);
  Plugin.Host.Command(1, Packed({"Operation=4"}));
  ASSERT_TRUE(TPluginHost::WaitForCalls(2));
  TPluginHost::SetInsideCallback(nullptr, nullptr);
  const auto Calls = TPluginHost::Calls();
  EXPECT_EQ(Calls[0].SessionACT, 1);
  EXPECT_EQ(Calls[1].SessionACT, 2);
  EXPECT_EQ(Calls[1].Data, Packed({"Error=0", "Operation=5"}));
}

namespace {
// Holds the worker inside the host's first callback until opened.
struct THold {
  std::atomic<bool> Entered{false};
  std::atomic<bool> Open{false};
};
void HoldFirst(const TestSupport::TCallbackCall&, void* Context) {
  auto* Hold = static_cast<THold*>(Context);
  Hold->Entered = true;
  while (!Hold->Open) Platform::SleepMs(1);
}
// The number in the first line starting with Prefix and Middle after it.
long long CountIn(const std::vector<std::string>& Lines, const std::string& Prefix,
                  const std::string& Middle) {
  long long Total = 0;
  for (const auto& Line : Lines) {
    if (Line.rfind(Prefix, 0) != 0) continue;
    const size_t At = Line.find(Middle);
    if (At == std::string::npos) continue;
    size_t Start = At;
    while (Start > 0 && std::isdigit(static_cast<unsigned char>(Line[Start - 1]))) --Start;
    Total += std::stoll(Line.substr(Start, At - Start));
  }
  return Total;
}
}  // namespace

// A server that sends without pause while the worker is busy: the queue
// keeps at most its limit of 262,144 messages (the one in hand counted), the
// rest are dropped and counted in a line, and Finalize_Plugin returns within
// its one-second budget (the rest of the backlog discarded and counted), the
// host never called after it returned.
TEST(ResponsePath, FloodKeepsToTheQueueLimitAndFinalizeStaysPrompt) {
  constexpr int Limit = 262144;
  constexpr int Flood = Limit + 5000;
  TConnected Plugin;
  THold Hold;
  TPluginHost::SetInsideCallback(&HoldFirst, &Hold);
  ASSERT_TRUE(Plugin.Double.FloodReceive(Bytes("\x06\x00UserData=Sess=1,SrcUserData=f\0", 33),
                                         Flood));
  ASSERT_TRUE(Hold.Entered);
  struct TFinalize {
    TPluginHost* Host;
    uint64_t Ms = 0;
  } Finalize{&Plugin.Host};
  Platform::TThread Thread;
  ASSERT_TRUE(Thread.Create([](void* Context) {
    auto* This = static_cast<TFinalize*>(Context);
    const uint64_t Start = Platform::TickCountMs();
    This->Host->Finalize();
    This->Ms = Platform::TickCountMs() - Start;
  }, &Finalize));
  ASSERT_TRUE(Thread.Start());
  Platform::SleepMs(100);
  Hold.Open = true;
  ASSERT_TRUE(Thread.WaitForEnd());
  TPluginHost::SetInsideCallback(nullptr, nullptr);
  const size_t Handed = TPluginHost::Calls().size();
  Platform::SleepMs(100);
  EXPECT_EQ(TPluginHost::Calls().size(), Handed) << "the host was called after Finalize_Plugin";
  EXPECT_LT(Finalize.Ms, 3000u);
  const auto Log = Plugin.Host.LogLines();
  EXPECT_EQ(CountIn(Log, "OnReceive response EXCEPTION: worker queue full (262144 server "
                         "messages or 134217728 bytes); ",
                    " server messages dropped"),
            Flood - Limit);
  EXPECT_EQ(static_cast<long long>(Handed) +
                CountIn(Log, "Receive response EXCEPTION: relay stopping: ",
                        " queued server messages discarded"),
            Limit);
  RecordProperty("handed", static_cast<int>(Handed));
  RecordProperty("finalize_ms", static_cast<int>(Finalize.Ms));
}
