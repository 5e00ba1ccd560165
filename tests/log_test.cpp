// What the log's case files (tests/cases/log_files, kind log) cannot say as
// data: threads writing through one file log at once, and the seam's clock set
// off the real one, which only the real clock's readings around it bound.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "log/ProcessLog.h"
#include "log/TimeSeparatedFileLog.h"
#include "platform/FaultSeam.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;

namespace {

TEST(FileLogConcurrency, ThreadsWritingThroughOneLogProduceWholeLines) {
  TestSupport::TScratchDir Dir;
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

// An offset of a year and a day from the real clock, read between two real
// readings; set real again, the clock reads the real time.
TEST(ClockSeam, OffsetClockIsTheRealOneShifted) {
  namespace Seam = Platform::FaultSeam;
  Seam::Reset();
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

}  // namespace
