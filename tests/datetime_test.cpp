// The pure date and time code: the log's date-time pattern and the date
// serial the log client receives. Also built with x87 arithmetic
// (tests/CMakeLists.txt), where a result that depended on excess precision
// would differ from the pinned one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "log/DateTimePattern.h"
#include "log/ProcessLog.h"
#include "platform/TimeText.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"

using namespace LogTestSupport;

namespace {

const Platform::TDateTime April17 = At(2013, 4, 17, 15, 26, 9, 123);

// ------------------------------------------------------- the date serial

uint64_t BitsOf(double Value) {
  uint64_t Bits;
  std::memcpy(&Bits, &Value, sizeof Bits);
  return Bits;
}

// Each instant's count of milliseconds and the exact bits of its days.
TEST(DateSerial, InstantsGiveTheirMillisecondsAndExactDays) {
  for (const TestSupport::TDataRow& Row : DataTable("datetime/serials.txt")) {
    SCOPED_TRACE(Row.Where());
    const Platform::TDateTime Time = At(Row.Text(0));
    EXPECT_EQ(Platform::MillisecondsSince1899(Time), Row.Int(1));
    EXPECT_EQ(BitsOf(Platform::DaysSince1899(Time)), Row.Bits(2));
    EXPECT_EQ(BitsOf(Platform::DaysFromMilliseconds(Row.Int(1))), Row.Bits(2));
  }
}

// ------------------------------------------------------------ the pattern

// Elements, quotes and other characters; every number padded to its width.
TEST(DateTimePattern, ExpandsElementsQuotesAndOtherCharacters) {
  for (const TestSupport::TDataRow& Row : DataTable("datetime/patterns.txt")) {
    EXPECT_EQ(ExpandDateTimePattern(Row.Text(1), At(Row.Text(0)), Row.Text(2)), Row.Text(3)) << Row.Where();
  }
}

// Plain and quoted text are cut at 256 in the patterns table.
TEST(DateTimePattern, YieldsAtMost256Characters) {
  // The cut may fall inside an element: 1 + 63 * 4 = 253, then "201".
  std::string Years = "x";
  for (int I = 0; I < 100; ++I) Years += "YYYY";
  std::string Expected = "x";
  for (int I = 0; I < 63; ++I) Expected += "2013";
  EXPECT_EQ(ExpandDateTimePattern(Years, April17, ":"), Expected + "201");
  // A long separator is cut as well.
  EXPECT_EQ(ExpandDateTimePattern(std::string(200, ':'), April17, "ab").size(), 256u);
}

TEST(DateTimePattern, ProcessLogPatternNamesTheHourlyFile) {
  const std::string Pattern = ProcessLogPattern("C:\\Apps\\", "Velmora.dll");
  EXPECT_EQ(Pattern, "\"C:\\Apps\\Logs\\\"YYYY\"_\"MM\"_\"DD\"\\\"HH\"_Velmora.dll.log\"");
  EXPECT_EQ(ExpandDateTimePattern(Pattern, April17, ":"),
            "C:\\Apps\\Logs\\2013_04_17\\15_Velmora.dll.log");
  EXPECT_EQ(ExpandDateTimePattern(ProcessLogPattern("C:\\", "Velmora.dll"), At(2001, 2, 3, 4, 0, 0, 0), "."),
            "C:\\Logs\\2001_02_03\\04_Velmora.dll.log");
  // Letters and colons of the directory and file name are literal text.
  EXPECT_EQ(ExpandDateTimePattern(ProcessLogPattern("D:\\HH MM's\\", "YYYY.dll"), April17, "."),
            "D:\\HH MM's\\Logs\\2013_04_17\\15_YYYY.dll.log");
}

TEST(DateTimePattern, LogTimeStampIsTheStampPatternsExpansion) {
  const Platform::TDateTime Times[] = {
      {2013, 4, 17, 9, 5, 3, 42}, {2013, 4, 17, 0, 0, 0, 0}, {1999, 12, 31, 23, 59, 59, 999}};
  for (const Platform::TDateTime& Time : Times) {
    for (const std::string Separator : {":", ".", "", "::"}) {
      char Out[DateTimePatternLimit];
      const size_t Length = PutLogTimeStamp(Out, Time, Separator);
      EXPECT_EQ(std::string(Out, Length), ExpandDateTimePattern("HH:NN:SS.ZZZ ", Time, Separator));
    }
  }
}

TEST(DateTimePattern, FieldsReadByAPattern) {
  EXPECT_EQ(DateTimePatternFields(ProcessLogPattern("C:\\Apps\\", "Velmora.dll")),
            DateTimeYear | DateTimeMonth | DateTimeDay | DateTimeHour);
  EXPECT_EQ(DateTimePatternFields("HH:NN:SS.ZZZ "),
            DateTimeHour | DateTimeMinute | DateTimeSecond | DateTimeMillisecond);
  EXPECT_EQ(DateTimePatternFields("'YYYY MM DD'\"HH\"x.log"), 0u);  // all quoted or plain
  EXPECT_EQ(DateTimePatternFields("yyyy-mm"), DateTimeYear | DateTimeMonth);
  EXPECT_EQ(DateTimePatternFields("a'ZZZ"), 0u);  // an unterminated quote runs to the end
  EXPECT_EQ(DateTimePatternFields("M D S"), 0u);   // single letters are no elements
}

// Two times that agree in the fields a pattern reads give the same text: the
// hourly log may keep a file name for as long as the hour lasts.
TEST(DateTimePattern, TimesAgreeingInTheFieldsReadExpandAlike) {
  const std::string Patterns[] = {ProcessLogPattern("C:\\Apps\\", "Velmora.dll"), "HH:NN",
                                  "'x'DD.SS", "YYYYMMDDHHNNSSZZZ", "'" + std::string(300, 'p') + "'HH"};
  uint32_t Seed = 12345;
  const auto Next = [&Seed](uint32_t Range) {
    Seed = Seed * 1103515245u + 12345u;
    return static_cast<uint16_t>((Seed >> 8) % Range);
  };
  for (const std::string& Pattern : Patterns) {
    const unsigned Fields = DateTimePatternFields(Pattern);
    for (int Round = 0; Round < 500; ++Round) {
      const Platform::TDateTime A{static_cast<uint16_t>(1990 + Next(60)), static_cast<uint16_t>(1 + Next(12)),
                                  static_cast<uint16_t>(1 + Next(28)), Next(24), Next(60), Next(60), Next(1000)};
      Platform::TDateTime B{static_cast<uint16_t>(1990 + Next(60)), static_cast<uint16_t>(1 + Next(12)),
                            static_cast<uint16_t>(1 + Next(28)), Next(24), Next(60), Next(60), Next(1000)};
      if (Fields & DateTimeYear) B.Year = A.Year;
      if (Fields & DateTimeMonth) B.Month = A.Month;
      if (Fields & DateTimeDay) B.Day = A.Day;
      if (Fields & DateTimeHour) B.Hour = A.Hour;
      if (Fields & DateTimeMinute) B.Minute = A.Minute;
      if (Fields & DateTimeSecond) B.Second = A.Second;
      if (Fields & DateTimeMillisecond) B.Millisecond = A.Millisecond;
      ASSERT_TRUE(SameDateTimeFields(A, B, Fields));
      ASSERT_EQ(ExpandDateTimePattern(Pattern, A, ":"), ExpandDateTimePattern(Pattern, B, ":")) << Pattern;
    }
  }
  const Platform::TDateTime A{2013, 4, 17, 15, 26, 9, 123};
  Platform::TDateTime B = A;
  B.Hour = 16;
  EXPECT_FALSE(SameDateTimeFields(A, B, DateTimeHour));
  EXPECT_TRUE(SameDateTimeFields(A, B, DateTimeDay | DateTimeMinute));
}

}  // namespace
