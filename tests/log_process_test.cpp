// The process log's start-up against the real host executable's directory,
// its settings file and Logs folder, which the plug-in's cases share and this
// program has to itself. This program lives in a folder of its own with no
// "LogClient.dll" beside it. The process log's other cases are case files
// (tests/cases/log_files, kind log).
#include <gtest/gtest.h>

#include <string>

#include "log/ProcessLog.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;
using TestSupport::FileExists;
using TestSupport::ReadFileBytes;
using TestSupport::TScratchDir;

namespace {

// Every line of the log's current files under Dir (this hour's and, when the
// hour turned meanwhile, the previous one's).
std::vector<std::string> LinesUnder(const std::string& Dir, const std::string& PluginFile,
                                    const Platform::TDateTime& Before) {
  std::vector<std::string> Lines = SplitLines(ReadFileBytes(HourlyLogPath(Dir, PluginFile, Before)));
  const std::string Later = HourlyLogPath(Dir, PluginFile, Platform::LocalNow());
  if (Later != HourlyLogPath(Dir, PluginFile, Before)) {
    for (std::string& Line : SplitLines(ReadFileBytes(Later))) Lines.push_back(std::move(Line));
  }
  return Lines;
}

std::vector<std::string> Texts(const std::vector<std::string>& Lines) {
  std::vector<std::string> Result;
  for (const std::string& Line : Lines) {
    EXPECT_TRUE(HasStamp(Line)) << Line;
    Result.push_back(Line.substr(13));
  }
  return Result;
}

TEST(ProcessLog, StartUpLogsBesideTheHostExecutable) {
  const std::string HostExe = Platform::HostExePath();
  const std::string HostDir = Platform::DirectoryPart(HostExe);
  const std::string Settings = HostSettingsPath(HostExe);
  // Lines an earlier run left there (a failed run, the same hour) are not
  // this run's to read: the case starts from an empty Logs folder.
  const std::string LogsDir = HostDir + "Logs";
  TestSupport::RemoveTree(Settings);
  TestSupport::RemoveTree(LogsDir);

  InitProcessLog();
  EXPECT_EQ(HostExeName(), Platform::FileNamePart(HostExe));
  EXPECT_EQ(PluginFileName(), Platform::FileNamePart(Platform::OwnModulePath()));
  ASSERT_FALSE(PluginFileName().empty());
  EXPECT_EQ(ReadLogServerSetting(), "");
  const std::string Marker = "started " + std::to_string(Platform::TickCountMs());
  const Platform::TDateTime Before = Platform::LocalNow();
  EXPECT_TRUE(Log(Marker));
  DoneProcessLog();
  std::vector<std::string> Lines = Texts(LinesUnder(HostDir, PluginFileName(), Before));
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), Marker), Lines.end());

  // A settings file without the plug-in's key: still no setting.
  TestSupport::WriteFileBytes(Settings, "[Debug]\r\nOther.dll=take\r\n[Server]\r\n" +
                                            PluginFileName() + "=take\r\n");
  EXPECT_EQ(ReadLogServerSetting(), "");

  // A setting for this plug-in, but no "LogClient.dll" anywhere: lines go to
  // the file and the setting's record file is never made.
  TScratchDir Scratch;
  const std::string Setting = "take;record=" + Scratch.Path() + "record.txt";
  TestSupport::WriteFileBytes(Settings, "[Debug]\r\n" + PluginFileName() + "=" + Setting + "\r\n");
  EXPECT_EQ(ReadLogServerSetting(), Setting);
  InitProcessLog();
  const std::string Marker2 = "no client " + std::to_string(Platform::TickCountMs());
  EXPECT_TRUE(Log(Marker2));
  DoneProcessLog();
  TestSupport::RemoveTree(Settings);
  Lines = Texts(LinesUnder(HostDir, PluginFileName(), Before));
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), Marker2), Lines.end());
  EXPECT_FALSE(FileExists(Scratch.Path() + "record.txt"));
  TestSupport::RemoveTree(LogsDir);
}

}  // namespace
