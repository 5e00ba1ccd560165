// The plug-in where no transport library can be found: this program runs
// from a folder of its own, below the one that holds the transport double.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/PluginHost.h"

using TestSupport::Packed;
using TestSupport::TPluginHost;

TEST(NoTransportLibrary, ManagerStartsWithoutClientAndDropsCommandsWithALine) {
  TPluginHost Host;
  Host.Init(1);
  Host.Command(8, Packed({"Operation=1", "Path=a"}));
  ASSERT_TRUE(Host.WaitForLogLine("ProcessCommand [SessionACT=8] EXCEPTION: ", true));
  Host.Finalize();
  const auto Log = Host.LogLines();
  ASSERT_EQ(Log.size(), 6u);
  EXPECT_EQ(Log[0], "Init_Plugin: Velmora");
  // "Не найдена библиотека "cl_vexo_transport.dll"" in code page 1251.
  EXPECT_EQ(Log[1],
            "ERR: FS Client initialization fail: \xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED\xE0 "
            "\xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE0 \"cl_vexo_transport.dll\"");
  EXPECT_EQ(Log[2], "Command_Plugin [SessionACT=8], Params=Operation=1,Path=a");
  EXPECT_EQ(Log[3], "ProcessCommand [SessionACT=8] EXCEPTION: no transport client; command dropped");
  EXPECT_EQ(Log[4], "FS Client stopped.");
  EXPECT_EQ(Log[5], "Finalize_Plugin");
}
