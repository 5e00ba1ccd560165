// The log-client stand-in found by its bare name "LogClient.dll" in the host
// executable's directory: this program is built beside it. An empty setting
// loading none is a case file (tests/cases/log_files, kind log).
#include <gtest/gtest.h>

#include <string>

#include "log/ProcessLog.h"
#include "log/UniLog.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/TimeText.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;
using TestSupport::FileExists;
using TestSupport::TScratchDir;

namespace {

TEST(UniLogHostDirectory, ClientBesideTheHostIsLoaded) {
  TScratchDir Dir;
  auto LogFile = std::make_unique<tUniLog>(ProcessLogPattern(Dir.Path(), "Velmora.dll"),
                                           "take;record=" + Dir.Path() + "record.txt");
  ASSERT_TRUE(LogFile->ClientLoaded());
  EXPECT_TRUE(LogFile->Write("taken"));
  LogFile.reset();
  EXPECT_FALSE(FileExists(Dir.Path() + "Logs"));
  const std::vector<TRecordedCall> Calls = ReadRecord(Dir.Path() + "record.txt");
  ASSERT_EQ(Calls.size(), 3u);
  EXPECT_EQ(Calls[1].Fields.at(4), "taken");
}

TEST(UniLogHostDirectory, ProcessLogHandsLinesToTheClientTheHostSettingsName) {
  // The only case of this program that touches the host settings file.
  const std::string HostExe = Platform::HostExePath();
  const std::string Settings = HostSettingsPath(HostExe);
  const std::string ModuleName = Platform::FileNamePart(Platform::OwnModulePath());
  TScratchDir Dir;
  const std::string Record = Dir.Path() + "record.txt";
  TestSupport::WriteFileBytes(Settings,
                              "[Debug]\r\n" + ModuleName + "=take;record=" + Record + "\r\n");
  const std::string LogsDir = Platform::DirectoryPart(HostExe) + "Logs";
  TestSupport::RemoveTree(LogsDir);

  InitProcessLog();
  TestSupport::RemoveTree(Settings);
  const int64_t Before = Platform::MillisecondsSince1899(Platform::LocalNow());
  EXPECT_TRUE(Log("Init_Plugin: Velmora"));
  const int64_t After = Platform::MillisecondsSince1899(Platform::LocalNow());
  for (const TLineBreakText& Case : LineBreakTexts) EXPECT_TRUE(Log(Case.Text));
  DoneProcessLog();

  EXPECT_FALSE(FileExists(LogsDir)) << "a taken line made a directory";
  const std::vector<TRecordedCall> Calls = ReadRecord(Record);
  ASSERT_EQ(Calls.size(), 3 + LineBreakTexts.size());
  EXPECT_EQ(Calls[0].Kind, "I");
  EXPECT_EQ(Calls[0].Fields.at(0), "take;record=" + Record);
  ASSERT_EQ(Calls[1].Kind, "M");
  EXPECT_EQ(Calls[1].Fields.at(1), Platform::FileNamePart(HostExe));
  EXPECT_EQ(Calls[1].Fields.at(2), ModuleName);
  EXPECT_EQ(Calls[1].Fields.at(3), "");
  EXPECT_EQ(Calls[1].Fields.at(4), "Init_Plugin: Velmora");
  EXPECT_GE(Calls[1].Milliseconds, Before);
  EXPECT_LE(Calls[1].Milliseconds, After);
  // Offered to the client as the file would show them.
  for (size_t I = 0; I < LineBreakTexts.size(); ++I) {
    EXPECT_EQ(Calls[2 + I].Fields.at(4), LineBreakTexts[I].Shown) << I;
  }
  EXPECT_EQ(Calls.back().Kind, "F");
}

}  // namespace
