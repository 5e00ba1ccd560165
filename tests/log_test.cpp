// The file log writers: exact bytes on disk, line limits, tagged files,
// per-line file names and directories, failures and concurrent writers.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "log/FileLog.h"
#include "log/ProcessLog.h"
#include "log/TimeSeparatedFileLog.h"
#include "platform/Files.h"
#include "platform/TimeText.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;
using TestSupport::FileExists;
using TestSupport::ReadFileBytes;
using TestSupport::TScratchDir;

namespace {

TEST(ProcessLogNames, HostSettingsFileReplacesTheExtension) {
  EXPECT_EQ(HostSettingsPath("C:\\Apps\\Host.exe"), "C:\\Apps\\Host.ini");
  EXPECT_EQ(HostSettingsPath("C:\\Apps\\Host.v2.exe"), "C:\\Apps\\Host.v2.ini");
  EXPECT_EQ(HostSettingsPath("C:\\Apps.d\\Host"), "C:\\Apps.d\\Host.ini");
  EXPECT_EQ(HostSettingsPath("Host"), "Host.ini");
}

// ------------------------------------------------------- exact bytes on disk

TEST(FileLog, StampedLineIsStampTextCrLf) {
  TScratchDir Dir;
  const std::string Path = Dir.Path() + "a.log";
  tFileLog LogFile(Path);
  const Platform::TDateTime Before = Platform::LocalNow();
  ASSERT_TRUE(LogFile.Write("Init_Plugin: Velmora"));
  const Platform::TDateTime After = Platform::LocalNow();
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Path));
  ASSERT_EQ(Lines.size(), 1u);
  ASSERT_TRUE(HasStamp(Lines[0])) << Lines[0];
  EXPECT_EQ(Lines[0].substr(13), "Init_Plugin: Velmora");
  if (After.Day == Before.Day) {
    EXPECT_GE(StampMilliseconds(Lines[0]), MillisecondsOfDay(Before));
    EXPECT_LE(StampMilliseconds(Lines[0]), MillisecondsOfDay(After));
  }
}

// Lines written one after another and the file's bytes: each line its text
// behind a stamp (HH:NN:SS.ZZZ and a blank) when stamped, then CR LF; a
// stamped line is at most 8191 bytes and a raw one 8191, cut in the text so
// that CR LF still ends it.
TEST(FileLog, LinesReachTheFileExactlyAndWithinTheirLimits) {
  for (const TestSupport::TDataRow& Row : DataTable("log/file_lines.txt")) {
    SCOPED_TRACE(Row.Where());
    TScratchDir Dir;
    const std::string Path = Dir.Path() + "a.log";
    if (!Row.Text(1).empty()) TestSupport::WriteFileBytes(Path, Row.Text(1));
    tFileLog LogFile(Path);
    for (const std::string& Line : Row.Strings(2)) {
      const bool Stamped = !Line.empty() && Line[0] == '*';
      ASSERT_TRUE(Stamped ? LogFile.Write(Line.substr(1)) : LogFile.WriteRaw(Line));
    }
    const std::string File = ReadFileBytes(Path);
    size_t At = 0;
    for (std::string Line : Row.Strings(3)) {
      if (!Line.empty() && Line[0] == '*') {
        Line.erase(0, 1);
        EXPECT_TRUE(HasStamp(File.substr(At, 13))) << "line at " << At;
        At += 13;
      }
      EXPECT_EQ(File.substr(At, Line.size() + 2), Line + "\r\n") << "line at " << At;
      At += Line.size() + 2;
    }
    EXPECT_EQ(At, File.size());
  }
}

// A second object on the same file appends as well.
TEST(FileLog, TwoObjectsOnOneFileBothAppend) {
  TScratchDir Dir;
  const std::string Path = Dir.Path() + "a.log";
  tFileLog LogFile(Path);
  ASSERT_TRUE(LogFile.WriteRaw("one"));
  tFileLog Other(Path);
  ASSERT_TRUE(Other.WriteRaw("two"));
  ASSERT_TRUE(LogFile.WriteRaw("three"));
  EXPECT_EQ(ReadFileBytes(Path), "one\r\ntwo\r\nthree\r\n");
}

TEST(FileLog, EmptyFilePathWritesNothing) {
  TScratchDir Dir;
  tFileLog LogFile("");
  EXPECT_EQ(LogFile.GetFileName(), "");
  EXPECT_FALSE(LogFile.Write("x"));
  EXPECT_FALSE(LogFile.WriteRaw("x"));
  EXPECT_FALSE(LogFile.WriteTagged("x", "S1"));  // no bare "S1_" file in the current directory
  EXPECT_FALSE(LogFile.WriteRawTagged("x", "S1"));
  EXPECT_FALSE(FileExists("S1_"));
}

// ------------------------------------------------------------- tagged files

TEST(FileLog, TaggedWriteGoesToTheTaggedFileBesideTheCurrentOne) {
  TScratchDir Dir;
  tFileLog LogFile(Dir.Path() + "15_Velmora.dll.log");
  ASSERT_TRUE(LogFile.WriteTagged("tagged", "S1"));
  ASSERT_TRUE(LogFile.WriteRawTagged("raw tagged", "S1"));
  ASSERT_TRUE(LogFile.WriteTagged("untagged", ""));
  ASSERT_TRUE(LogFile.WriteRawTagged("raw untagged", ""));
  const std::vector<std::string> Tagged = SplitLines(ReadFileBytes(Dir.Path() + "S1_15_Velmora.dll.log"));
  ASSERT_EQ(Tagged.size(), 2u);
  EXPECT_TRUE(HasStamp(Tagged[0]));
  EXPECT_EQ(Tagged[0].substr(13), "tagged");
  EXPECT_EQ(Tagged[1], "raw tagged");
  const std::vector<std::string> Plain = SplitLines(ReadFileBytes(Dir.Path() + "15_Velmora.dll.log"));
  ASSERT_EQ(Plain.size(), 2u);
  EXPECT_EQ(Plain[0].substr(13), "untagged");
  EXPECT_EQ(Plain[1], "raw untagged");
}

TEST(TimeSeparatedFileLog, TaggedWriteUsesTheHourlyFileName) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile(ProcessLogPattern(Dir.Path(), "Velmora.dll"));
  const Platform::TDateTime Now = Platform::LocalNow();
  ASSERT_TRUE(LogFile.WriteRawTagged("x", "S1"));
  const std::string Untagged = LogFile.GetFileName();
  std::string Expected = HourlyLogPath(Dir.Path(), "Velmora.dll", Now);
  if (Expected != Untagged) Expected = HourlyLogPath(Dir.Path(), "Velmora.dll", Platform::LocalNow());
  ASSERT_EQ(Untagged, Expected);
  const std::string Tagged = Platform::DirectoryPart(Untagged) + "S1_" + Platform::FileNamePart(Untagged);
  EXPECT_EQ(ReadFileBytes(Tagged), "x\r\n");
}

// ------------------------------------------- per-line names and directories

TEST(TimeSeparatedFileLog, WritesUnderLogsDayDirectoryHourFile) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile(ProcessLogPattern(Dir.Path(), "Velmora.dll"));
  const Platform::TDateTime Before = Platform::LocalNow();
  ASSERT_TRUE(LogFile.Write("first"));
  const Platform::TDateTime After = Platform::LocalNow();
  const std::string Name = LogFile.GetFileName();
  EXPECT_TRUE(Name == HourlyLogPath(Dir.Path(), "Velmora.dll", Before) ||
              Name == HourlyLogPath(Dir.Path(), "Velmora.dll", After))
      << Name;
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Name));
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines.back().substr(13), "first");
  // The stamp's hour is the hour of the file the line landed in.
  EXPECT_EQ(Lines.back().substr(0, 2), Platform::FileNamePart(Name).substr(0, 2));
}

TEST(TimeSeparatedFileLog, RecreatesDirectoriesDeletedMeanwhile) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile(ProcessLogPattern(Dir.Path(), "Velmora.dll"));
  ASSERT_TRUE(LogFile.WriteRaw("before"));
  TestSupport::RemoveTree(Dir.Path() + "Logs");
  ASSERT_FALSE(FileExists(Dir.Path() + "Logs"));
  ASSERT_TRUE(LogFile.WriteRaw("after"));
  EXPECT_EQ(ReadFileBytes(LogFile.GetFileName()), "after\r\n");
}

// A write trusts the directory it made sure of for the line before; when
// that directory has gone, the line still lands, stamped or tagged alike.
TEST(TimeSeparatedFileLog, EveryKindOfWriteRecreatesADeletedDirectory) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile("'" + Dir.Path() + "day\\x.log'");
  ASSERT_TRUE(LogFile.WriteRaw("first"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  ASSERT_TRUE(LogFile.Write("stamped"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  ASSERT_TRUE(LogFile.WriteRawTagged("tagged", "S1"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  ASSERT_TRUE(LogFile.WriteTagged("tagged and stamped", "S1"));
  const std::string Plain = ReadFileBytes(Dir.Path() + "day\\x.log");
  EXPECT_EQ(Plain, "");  // made by nobody since the last removal
  const std::string Tagged = ReadFileBytes(Dir.Path() + "day\\S1_x.log");
  ASSERT_EQ(Tagged.size(), 13u + 18u + 2u);
  EXPECT_EQ(Tagged.substr(13), "tagged and stamped\r\n");
  ASSERT_TRUE(LogFile.WriteRaw("last"));
  EXPECT_EQ(ReadFileBytes(Dir.Path() + "day\\x.log"), "last\r\n");
}

// GetFileName called on its own always asks the system, and a directory that
// cannot be made again (a file now stands in its place) loses the line and
// empties the name, as on the first line.
TEST(TimeSeparatedFileLog, DirectoryReplacedByAFileLosesTheLineUntilItIsBack) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile("'" + Dir.Path() + "day\\x.log'");
  ASSERT_TRUE(LogFile.WriteRaw("one"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  EXPECT_EQ(LogFile.GetFileName(), Dir.Path() + "day\\x.log");
  EXPECT_TRUE(Platform::DirectoryExists(Dir.Path() + "day"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  TestSupport::WriteFileBytes(Dir.Path() + "day", "not a directory");
  EXPECT_FALSE(LogFile.Write("lost"));
  EXPECT_EQ(LogFile.GetFileName(), "");
  EXPECT_FALSE(LogFile.WriteRaw("lost too"));
  TestSupport::RemoveTree(Dir.Path() + "day");
  ASSERT_TRUE(LogFile.WriteRaw("back"));
  EXPECT_EQ(ReadFileBytes(Dir.Path() + "day\\x.log"), "back\r\n");
}

TEST(TimeSeparatedFileLog, CreatesEveryMissingLevel) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile("'" + Dir.Path() + "a\\b\\c\\'HH'.log'");
  ASSERT_TRUE(LogFile.WriteRaw("deep"));
  EXPECT_TRUE(Platform::DirectoryExists(Dir.Path() + "a\\b\\c"));
  EXPECT_EQ(ReadFileBytes(LogFile.GetFileName()), "deep\r\n");
}

// ----------------------------------------------------------------- failures

TEST(TimeSeparatedFileLog, DirectoryThatCannotBeCreatedLosesTheLine) {
  TScratchDir Dir;
  TestSupport::WriteFileBytes(Dir.Path() + "blocker", "a file where a directory should be");
  tTimeSeparatedFileLog LogFile("'" + Dir.Path() + "blocker\\sub\\x.log'");
  EXPECT_FALSE(LogFile.Write("lost"));
  EXPECT_FALSE(LogFile.WriteTagged("lost", "S1"));
  EXPECT_EQ(LogFile.GetFileName(), "");
  EXPECT_EQ(ReadFileBytes(Dir.Path() + "blocker"), "a file where a directory should be");
}

TEST(FileLog, FileHeldOpenByAnotherWriterLosesTheLine) {
  TScratchDir Dir;
  const std::string Path = Dir.Path() + "a.log";
  tFileLog LogFile(Path);
  const Platform::TFile Other = Platform::OpenForAppend(Path);
  ASSERT_NE(Other, Platform::InvalidFile);
  EXPECT_FALSE(LogFile.Write("lost"));
  EXPECT_FALSE(LogFile.WriteRaw("lost"));
  Platform::CloseFile(Other);
  EXPECT_TRUE(LogFile.WriteRaw("kept"));
  EXPECT_EQ(ReadFileBytes(Path), "kept\r\n");
}

TEST(TimeSeparatedFileLog, NameWithoutDirectoryRaisesToTheCallerAndLeavesTheLock) {
  tTimeSeparatedFileLog LogFile("'velmora_no_directory.log'");
  try {
    LogFile.Write("x");
    FAIL() << "no failure raised";
  } catch (const EInOutError& Error) {
    EXPECT_STREQ(Error.what(), "Unable to create directory");
  }
  EXPECT_THROW(LogFile.WriteRaw("x"), std::runtime_error);
  EXPECT_THROW(LogFile.WriteRawTagged("x", "S1"), std::runtime_error);
  // Another thread gets in as well: the failure left the lock.
  bool RaisedThere = false;
  RunOnThreads(1, [&](int) {
    try {
      LogFile.Write("x");
    } catch (const std::runtime_error&) {
      RaisedThere = true;
    }
  });
  EXPECT_TRUE(RaisedThere);
  EXPECT_FALSE(FileExists("velmora_no_directory.log"));
}

TEST(TimeSeparatedFileLog, RelativeDirectoryWhoseFirstLevelIsMissingRaises) {
  tTimeSeparatedFileLog LogFile("'velmora_missing_dir\\sub\\x.log'");
  EXPECT_THROW(LogFile.Write("x"), EInOutError);
  EXPECT_THROW(LogFile.GetFileName(), EInOutError);
}

// -------------------------------------------------------------- concurrency

TEST(FileLogConcurrency, ThreadsWritingThroughOneLogProduceWholeLines) {
  TScratchDir Dir;
  tTimeSeparatedFileLog LogFile(ProcessLogPattern(Dir.Path(), "Velmora.dll"));
  constexpr int ThreadCount = 4, LinesEach = 150;
  RunOnThreads(ThreadCount, [&](int Thread) {
    for (int Line = 0; Line < LinesEach; ++Line) {
      const std::string Text = 'T' + std::to_string(Thread) + " L" + std::to_string(Line) + " " +
                               std::string(static_cast<size_t>(50 + Line * 7 % 300), 'a' + Thread);
      EXPECT_TRUE(Line % 2 ? LogFile.Write(Text) : LogFile.WriteRaw(Text));
    }
  });
  // The hour may turn during the run: gather every file of the log.
  std::set<std::string> Seen;
  const std::vector<std::string> Lines = LinesOfAllFilesUnder(Dir.Path() + "Logs");
  for (const std::string& Line : Lines) {
    const std::string Body = HasStamp(Line) ? Line.substr(13) : Line;
    const size_t Blank = Body.find(' ', Body.find(' ') + 1);
    ASSERT_NE(Blank, std::string::npos) << Line;
    const std::string Key = Body.substr(0, Blank);
    const int Thread = Body[1] - '0';
    const int Number = std::stoi(Body.substr(Body.find('L') + 1));
    EXPECT_EQ(Body.substr(Blank + 1), std::string(static_cast<size_t>(50 + Number * 7 % 300), 'a' + Thread));
    EXPECT_EQ(HasStamp(Line), Number % 2 == 1) << Line;
    EXPECT_TRUE(Seen.insert(Key).second) << "twice: " << Key;
  }
  EXPECT_EQ(Seen.size(), static_cast<size_t>(ThreadCount * LinesEach));
}

}  // namespace
