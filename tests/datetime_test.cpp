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

// Each instant's count of milliseconds and the exact bits of its days (the
// nearest double to the count / 86,400,000). 2000-01-01 00:00:01.509 is one
// of the instants whose quotient x87 registers would round to ...A09A.
TEST(DateSerial, InstantsGiveTheirMillisecondsAndExactDays) {
  struct TCase {
    Platform::TDateTime Time;
    int64_t Milliseconds;
    uint64_t Bits;
  };
  const TCase Cases[] = {
      {At(1899, 12, 30, 0, 0, 0, 0), 0, 0x0000000000000000},
      {At(1900, 1, 1, 0, 0, 0, 0), 172800000, 0x4000000000000000},        // 2.0
      {At(1900, 3, 1, 0, 0, 0, 0), 5270400000, 0x404E800000000000},       // 61.0: 1900 has no 29 February
      {At(2000, 2, 29, 0, 0, 0, 0), 3160944000000, 0x40E1DD2000000000},  // 36585.0
      {At(2000, 1, 1, 0, 0, 1, 509), 3155846401509, 0x40E1D5C00024A099},
      {At(2013, 4, 17, 6, 0, 0, 0), 3575340000000, 0x40E434A800000000},   // 41381.25
      {At(2013, 4, 17, 12, 0, 0, 0), 3575361600000, 0x40E434B000000000},  // 41381.5
      {At(2013, 4, 17, 15, 26, 9, 123), 3575373969123, 0x40E434B494C6AEED},
      {At(2013, 4, 17, 23, 59, 59, 999), 3575404799999, 0x40E434BFFFFFF9C9},
      {At(2099, 12, 31, 23, 59, 59, 999), 6311606399999, 0x40F1D5AFFFFFFCE5},
  };
  for (const TCase& Case : Cases) {
    EXPECT_EQ(Platform::MillisecondsSince1899(Case.Time), Case.Milliseconds) << Case.Milliseconds;
    EXPECT_EQ(BitsOf(Platform::DaysSince1899(Case.Time)), Case.Bits) << Case.Milliseconds;
    EXPECT_EQ(BitsOf(Platform::DaysFromMilliseconds(Case.Milliseconds)), Case.Bits) << Case.Milliseconds;
  }
}

// ------------------------------------------------------------ the pattern

struct TPatternCase {
  const char* Pattern;
  const char* Separator;
  const char* Expected;
};

TEST(DateTimePattern, ExpandsElementsQuotesAndOtherCharacters) {
  const TPatternCase Cases[] = {
      {"YYYY-MM-DD HH:NN:SS.ZZZ", ":", "2013-04-17 15:26:09.123"},
      {"yyyy_mm_dd hh nn ss zzz", ":", "2013_04_17 15 26 09 123"},
      {"yYyY Mm dD hH nN sS zZz", ":", "2013 04 17 15 26 09 123"},
      {"HH:NN:SS.ZZZ ", ":", "15:26:09.123 "},
      {"HH:NN", ".", "15.26"},
      {"HH:NN", "", "1526"},
      {"\"YYYY\"'MM'", ":", "YYYYMM"},
      {"\"it's\" 'say \"hi\"'", ":", "it's say \"hi\""},
      {"'HH:NN' HH", ":", "HH:NN 15"},
      {"'unterminated HH", ":", "unterminated HH"},
      {"\"\"''", ":", ""},
      {"\\_-/,;0129 ", ":", "\\_-/,;0129 "},
      {"Q X yy m d h", ":", "Q X yy m d h"},  // unlisted letters and short runs stand as they are
      {"YYYYY MMM ZZZZ", ":", "2013Y 04M 123Z"},
      {"", ":", ""},
  };
  for (const TPatternCase& Case : Cases) {
    EXPECT_EQ(ExpandDateTimePattern(Case.Pattern, April17, Case.Separator), Case.Expected)
        << "pattern " << Case.Pattern;
  }
}

TEST(DateTimePattern, PadsEveryNumberToItsWidth) {
  EXPECT_EQ(ExpandDateTimePattern("YYYY_MM_DD HH:NN:SS.ZZZ", At(987, 2, 3, 4, 5, 6, 7), ":"),
            "0987_02_03 04:05:06.007");
  EXPECT_EQ(ExpandDateTimePattern("HH:NN:SS.ZZZ", At(2000, 12, 31, 23, 59, 59, 999), ":"),
            "23:59:59.999");
  EXPECT_EQ(ExpandDateTimePattern("HH:NN:SS.ZZZ", At(2000, 1, 1, 0, 0, 0, 0), ":"),
            "00:00:00.000");
}

TEST(DateTimePattern, YieldsAtMost256Characters) {
  const std::string Long(300, 'a');
  EXPECT_EQ(ExpandDateTimePattern("'" + Long + "'", April17, ":"), std::string(256, 'a'));
  EXPECT_EQ(ExpandDateTimePattern(Long, April17, ":"), std::string(256, 'a'));
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
