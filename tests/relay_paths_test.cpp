// A server that floods the plug-in while its worker is busy: the queue's
// limit, the counts of what was dropped and discarded, and a Finalize_Plugin
// that stays prompt with the backlog (the rest of the plug-in's boundary
// lives in tests/cases).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;

namespace {

std::string Bytes(const char* Text, size_t Size) { return std::string(Text, Size); }

// A plug-in with a connected double.
struct TConnected {
  TTransportDouble Double;
  TPluginHost Host;
  TConnected() {
    Double.SetAutoDisconnect(true);  // Finalize then need not wait for the notice
    Host.Init(77);
    EXPECT_TRUE(Double.FireConnect());
  }
};

}  // namespace

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
