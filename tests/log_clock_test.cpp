// The process log against a clock set by the test (the platform's clock seam,
// platform/FaultSeam.h): lines written across the full hour, midnight, the
// end of a month, of February and of a year land in the right hourly file of
// the right day's folder, byte for byte; a clock set back appends to the
// earlier hour's file and never truncates it; and each line's stamp is the
// instant its file name was derived for, read once per line.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "log/DateTimePattern.h"
#include "log/ProcessLog.h"
#include "log/UniLog.h"
#include "platform/FaultSeam.h"
#include "platform/ForeignCall.h"
#include "platform/Files.h"
#include "platform/TimeText.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;
using TestSupport::ReadFileBytes;
using TestSupport::TScratchDir;
namespace Seam = Platform::FaultSeam;

namespace {

bool SameInstant(const Platform::TDateTime& A, const Platform::TDateTime& B) {
  return A.Year == B.Year && A.Month == B.Month && A.Day == B.Day && A.Hour == B.Hour &&
         A.Minute == B.Minute && A.Second == B.Second && A.Millisecond == B.Millisecond;
}

std::string Stamp(const Platform::TDateTime& Time) {
  char Text[16];
  return std::string(Text, PutLogTimeStamp(Text, Time, Platform::TimeSeparator()));
}

// Every file under Dir (relative Windows-form name -> bytes).
std::map<std::string, std::string> FilesUnder(const std::string& Dir) {
  std::map<std::string, std::string> Files;
  const std::filesystem::path Root = Platform::ToNativePath(Dir);
  for (const auto& Entry : std::filesystem::recursive_directory_iterator(Root)) {
    if (!Entry.is_regular_file()) continue;
    const std::string Relative =
        Platform::FromNativePath(std::filesystem::relative(Entry.path(), Root).string());
    Files[Relative] = ReadFileBytes(Platform::FromNativePath(Entry.path().string()));
  }
  return Files;
}

// The process log's object over a scratch host folder, the clock the test's.
class ClockedLog : public ::testing::Test {
protected:
  ClockedLog() : Log(ProcessLogPattern(Dir.Path(), "Velmora.dll"), "") { Seam::Reset(); }
  ~ClockedLog() override { Seam::Reset(); }

  TScratchDir Dir;
  tUniLog Log;
};

// ------------------------------------------------------- the seam's clock

TEST(ClockSeam, AddsMillisecondsAcrossTheCalendar) {
  for (const TestSupport::TDataRow& Row : DataTable("log_clock/calendar_steps.txt")) {
    const Platform::TDateTime Got = Seam::AddMilliseconds(At(Row.Text(0)), Row.Int(1));
    EXPECT_TRUE(SameInstant(Got, At(Row.Text(2)))) << Row.Where() << " gave " << Got.Year << "-" << Got.Month
                                                   << "-" << Got.Day << " " << Stamp(Got);
  }
}

TEST(ClockSeam, FixedSteppingOffsetAndRealClocks) {
  Seam::Reset();
  const Platform::TDateTime Instant = At(2013, 4, 17, 23, 59, 59, 998);
  Seam::SetClockFixed(Instant);
  EXPECT_TRUE(SameInstant(Platform::LocalNow(), Instant));
  EXPECT_TRUE(SameInstant(Platform::LocalNow(), Instant));
  Seam::SetClockFixed(Instant, 1);
  EXPECT_TRUE(SameInstant(Platform::LocalNow(), Instant));
  EXPECT_TRUE(SameInstant(Platform::LocalNow(), At(2013, 4, 17, 23, 59, 59, 999)));
  EXPECT_TRUE(SameInstant(Platform::LocalNow(), At(2013, 4, 18, 0, 0, 0, 0)));
  // An offset of a year and a day from the real clock, read between two
  // real readings.
  Seam::SetClockReal();
  const Platform::TDateTime Before = Platform::LocalNow();
  constexpr int64_t Offset = 366LL * 86400000;
  Seam::SetClockOffset(Offset);
  const Platform::TDateTime Shifted = Platform::LocalNow();
  Seam::SetClockReal();
  const Platform::TDateTime After = Platform::LocalNow();
  const int64_t Read = Platform::MillisecondsSince1899(Shifted);
  EXPECT_GE(Read, Platform::MillisecondsSince1899(Before) + Offset);
  EXPECT_LE(Read, Platform::MillisecondsSince1899(After) + Offset);
  Seam::Reset();
}

// ------------------------------------------------------ lines and files

// Four lines, the clock 1 ms further at each: two before the boundary, two
// at and after it. Each line goes to the file of the instant it was stamped
// with; the set of files is exactly the expected one.
TEST_F(ClockedLog, LinesAcrossTheFullHourMidnightMonthAndYearLandInTheirFiles) {
  std::map<std::string, std::string> Expected;
  for (const TestSupport::TDataRow& Row : DataTable("log_clock/hour_boundaries.txt")) {
    SCOPED_TRACE(Row.Where());
    const Platform::TDateTime First = Seam::AddMilliseconds(At(Row.Text(1)), -2);
    Seam::SetClockFixed(First, 1);
    for (int Line = 0; Line < 4; ++Line) {
      const std::string Text = Row.Text(0) + " " + std::to_string(Line);
      ASSERT_TRUE(Log.Write(Text));
      Expected[Row.Text(Line < 2 ? 2 : 3)] += Stamp(Seam::AddMilliseconds(First, Line)) + Text + "\r\n";
    }
  }
  EXPECT_EQ(FilesUnder(Dir.Path()), Expected);
}

// Lines at instants set one by one, each to its instant's file, after what
// the file holds. The same hour of another day, month or year is another
// file (the name derived for an earlier line is not reused). The end of
// daylight saving time or a correction sets the clock back: the line goes to
// the earlier hour's (or day's) file, even when another writer put it there.
TEST_F(ClockedLog, EachLineGoesToItsInstantsFileAfterWhatItHolds) {
  const std::string Earlier = "Logs\\2013_10_27\\02_Velmora.dll.log";
  std::filesystem::create_directories(Platform::ToNativePath(Dir.Path() + "Logs\\2013_10_27"));
  TestSupport::WriteFileBytes(Dir.Path() + Earlier, "written by another process\r\n");
  std::map<std::string, std::string> Expected = {{Earlier, "written by another process\r\n"}};
  for (const TestSupport::TDataRow& Row : DataTable("log_clock/instants_and_files.txt")) {
    SCOPED_TRACE(Row.Where());
    Seam::SetClockFixed(At(Row.Text(0)));
    ASSERT_TRUE(Log.Write(Row.Text(1)));
    Expected[Row.Text(2)] += Stamp(At(Row.Text(0))) + Row.Text(1) + "\r\n";
  }
  EXPECT_EQ(FilesUnder(Dir.Path()), Expected);
}

// The line's stamp is the instant its file name was derived for: the clock
// is read once per line, so a line never lands in the previous hour's file
// with the next hour's stamp (read after the name, 23:59:59.999 and then
// 00:00:00.000 would put a 00:00 line into yesterday's folder).
TEST_F(ClockedLog, StampIsTheInstantTheFileNameWasDerivedFor) {
  const Platform::TDateTime LastOfDay = At(2013, 4, 17, 23, 59, 59, 999);
  Seam::SetClockFixed(LastOfDay, 1);
  ASSERT_TRUE(Log.Write("first"));
  ASSERT_TRUE(Log.WriteRaw("raw"));
  ASSERT_TRUE(Log.Write("third"));
  const Platform::TDateTime Midnight = At(2013, 4, 18, 0, 0, 0, 0);
  const std::map<std::string, std::string> Expected = {
      {"Logs\\2013_04_17\\23_Velmora.dll.log", Stamp(LastOfDay) + "first\r\n"},
      {"Logs\\2013_04_18\\00_Velmora.dll.log",
       "raw\r\n" + Stamp(Seam::AddMilliseconds(Midnight, 1)) + "third\r\n"},
  };
  EXPECT_EQ(FilesUnder(Dir.Path()), Expected);
}

// A client that declines every line gets each reading of the clock as the
// exact days since 30 December 1899, and each line goes to its instant's
// file. So it does when the client leaves the floating point spoilt: every
// exception unmasked after it returned, or the x87 stack full as well when it
// faulted (then its line goes to the file as a declined one does).
TEST(ClockedLogClient, ClientReceivesExactDaysAndTheDeclinedLinesTheirFiles) {
  struct TCase {
    const char* Setting;
    bool Faults;
  };
  const TCase Cases[] = {
      {"decline", false},
      {"decline;spoilfloat", false},
      {"decline;spoilfloat;faultmessage=1", true},
  };
  struct TLine {
    Platform::TDateTime Time;
    const char* Bits;  // of the days, as the stand-in records them
    const char* File;
  };
  const TLine Lines[] = {
      {At(2013, 4, 17, 12, 0, 0, 0), "40e434b000000000", "Logs\\2013_04_17\\12_Velmora.dll.log"},
      {At(2000, 1, 1, 0, 0, 1, 509), "40e1d5c00024a099", "Logs\\2000_01_01\\00_Velmora.dll.log"},
      {At(2013, 4, 17, 15, 26, 9, 123), "40e434b494c6aeed", "Logs\\2013_04_17\\15_Velmora.dll.log"},
  };
  for (const TCase& Case : Cases) {
    if (Case.Faults && !Platform::ForeignFaultsContained()) continue;  // a native fault cannot be caught
    SCOPED_TRACE(Case.Setting);
    TScratchDir Dir, RecordDir;
    const std::string Record = RecordDir.Path() + "record.txt";
    std::map<std::string, std::string> Expected;
    Seam::Reset();
    {
      tUniLog Log(ProcessLogPattern(Dir.Path(), "Velmora.dll"), std::string(Case.Setting) + ";record=" + Record,
                  StandInLogClient(TestSupport::BinaryDir(), "logclient"));
      ASSERT_TRUE(Log.ClientLoaded());
      for (const TLine& Line : Lines) {
        Seam::SetClockFixed(Line.Time);
        ASSERT_TRUE(Log.Write(Line.Bits));
        Expected[Line.File] += Stamp(Line.Time) + Line.Bits + "\r\n";
      }
    }
    Seam::Reset();
    std::vector<std::string> Offered;
    for (const TRecordedCall& Call : ReadRecord(Record)) {
      if (Call.Kind == "M") Offered.push_back(Call.Fields.at(0));
    }
    EXPECT_EQ(Offered, (std::vector<std::string>{Lines[0].Bits, Lines[1].Bits, Lines[2].Bits}));
    EXPECT_EQ(FilesUnder(Dir.Path()), Expected);
  }
}

}  // namespace
