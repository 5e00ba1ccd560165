// The process log's start-up against the real host executable's directory,
// its settings file and Logs folder, which the plug-in's cases share and this
// program has to itself. This program lives in a folder of its own with no
// "LogClient.dll" beside it. The process log's other cases are case files
// (tests/cases/log_files, kind log).
#include <gtest/gtest.h>

#include <string>

#include "log/ProcessLog.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;

namespace {

// The texts of the file's lines, each behind a stamp.
std::vector<std::string> Texts(const std::string& File) {
  std::vector<std::string> Result;
  for (const std::string& Line : SplitLines(TestSupport::ReadFileBytes(File))) {
    EXPECT_TRUE(HasStamp(Line)) << Line;
    Result.push_back(Line.substr(13));
  }
  return Result;
}

TEST(ProcessLog, StartUpLogsBesideTheHostExecutable) {
  const std::string HostExe = Platform::HostExePath();
  const std::string Settings = HostSettingsPath(HostExe);
  // Lines an earlier run left there (a failed run) are not this run's to
  // read: the case starts from an empty Logs folder, the clock set.
  const std::string LogsDir = Platform::DirectoryPart(HostExe) + "Logs";
  TestSupport::RemoveTree(Settings);
  TestSupport::RemoveTree(LogsDir);
  Platform::FaultSeam::SetClockFixed(At(2013, 4, 17, 15, 26, 9, 123));

  InitProcessLog();
  EXPECT_EQ(HostExeName(), Platform::FileNamePart(HostExe));
  EXPECT_EQ(PluginFileName(), Platform::FileNamePart(Platform::OwnModulePath()));
  ASSERT_FALSE(PluginFileName().empty());
  EXPECT_EQ(ReadLogServerSetting(), "");
  EXPECT_TRUE(Log("started"));
  DoneProcessLog();
  const std::string File = LogsDir + "\\2013_04_17\\15_" + PluginFileName() + ".log";
  EXPECT_EQ(Texts(File), (std::vector<std::string>{"started"}));

  // A settings file without the plug-in's key: still no setting.
  TestSupport::WriteFileBytes(Settings, "[Debug]\r\nOther.dll=take\r\n[Server]\r\n" +
                                            PluginFileName() + "=take\r\n");
  EXPECT_EQ(ReadLogServerSetting(), "");

  // A setting for this plug-in, but no "LogClient.dll" anywhere: lines go to
  // the file and the setting's record file is never made.
  TestSupport::TScratchDir Scratch;
  const std::string Setting = "take;record=" + Scratch.Path() + "record.txt";
  TestSupport::WriteFileBytes(Settings, "[Debug]\r\n" + PluginFileName() + "=" + Setting + "\r\n");
  EXPECT_EQ(ReadLogServerSetting(), Setting);
  InitProcessLog();
  EXPECT_TRUE(Log("no client"));
  DoneProcessLog();
  TestSupport::RemoveTree(Settings);
  EXPECT_EQ(Texts(File), (std::vector<std::string>{"started", "no client"}));
  EXPECT_FALSE(TestSupport::FileExists(Scratch.Path() + "record.txt"));
  TestSupport::RemoveTree(LogsDir);
  Platform::FaultSeam::Reset();
}

}  // namespace
