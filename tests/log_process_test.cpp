// The process log: Log before, during and after the log's life, the line
// break mend, failures swallowed, and start-up against the real host
// executable's directory. This program lives in a folder of its own with no
// "LogClient.dll" beside it.
#include <gtest/gtest.h>

#include <string>

#include "log/ProcessLog.h"
#include "log/UniLog.h"
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

TEST(ProcessLog, LogWithoutALogDoesNothing) {
  EXPECT_FALSE(Log("nothing"));
  DoneProcessLog();
  EXPECT_FALSE(Log("nothing"));
}

TEST(ProcessLog, LogWritesStampedLinesUntilDone) {
  TScratchDir Dir;
  const Platform::TDateTime Before = Platform::LocalNow();
  CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
  EXPECT_TRUE(Log("Init_Plugin: Velmora"));
  EXPECT_TRUE(Log(""));
  DoneProcessLog();
  EXPECT_FALSE(Log("after done"));
  DoneProcessLog();
  EXPECT_EQ(Texts(LinesUnder(Dir.Path(), "Velmora.dll", Before)),
            (std::vector<std::string>{"Init_Plugin: Velmora", ""}));
}

TEST(ProcessLog, LineBreaksInTextCannotStartALine) {
  // A CR, LF or zero byte of a text is written as \r, \n or \0: a value from
  // the host or the server can neither split a line nor forge one.
  TScratchDir Dir;
  const Platform::TDateTime Before = Platform::LocalNow();
  CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
  std::vector<std::string> Shown;
  for (const TLineBreakText& Case : LineBreakTexts) {
    EXPECT_TRUE(Log(Case.Text));
    Shown.push_back(Case.Shown);
  }
  DoneProcessLog();
  EXPECT_EQ(Texts(LinesUnder(Dir.Path(), "Velmora.dll", Before)), Shown);
}

TEST(ProcessLog, FailureRaisedByTheWriteIsSwallowed) {
  CreateProcessLog("'velmora_process_no_directory.log'", "");
  bool Result = true;
  EXPECT_NO_THROW(Result = Log("x"));
  EXPECT_FALSE(Result);
  EXPECT_FALSE(FileExists("velmora_process_no_directory.log"));
  DoneProcessLog();
}

TEST(ProcessLog, StartUpWhileALogExistsChangesNothing) {
  TScratchDir Dir;
  const Platform::TDateTime Before = Platform::LocalNow();
  CreateProcessLog(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "");
  InitProcessLog();
  EXPECT_EQ(PluginFileName(), "");  // start-up returned before it read anything
  CreateProcessLog(ProcessLogPattern(Dir.Path(), "Other.dll"), "");
  EXPECT_TRUE(Log("still here"));
  DoneProcessLog();
  EXPECT_EQ(Texts(LinesUnder(Dir.Path(), "Velmora.dll", Before)),
            (std::vector<std::string>{"still here"}));
}

TEST(ProcessLog, StartUpLogsBesideTheHostExecutable) {
  // The only case of this program that writes beside the executable: the
  // host directory, its settings file and its Logs folder are shared by
  // every case of the program.
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

TEST(ProcessLog, MissingClientLibraryGivesAFileLog) {
  TScratchDir Dir;
  tUniLog LogFile(ProcessLogPattern(Dir.Path(), "Velmora.dll"),
                  "take;record=" + Dir.Path() + "record.txt");
  EXPECT_FALSE(LogFile.ClientLoaded());
  EXPECT_TRUE(LogFile.WriteRaw("to the file"));
  EXPECT_EQ(ReadFileBytes(LogFile.GetFileName()), "to the file\r\n");
  EXPECT_FALSE(FileExists(Dir.Path() + "record.txt"));
}

}  // namespace
