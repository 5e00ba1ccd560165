// Helpers of the log suites: reading log files back as lines, the time stamp
// shape, the log-client stand-in's record and running bodies on threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/TimeText.h"

namespace LogTestSupport {

// The lines of a log file's bytes, each without its CR LF. Fails the calling
// test when the bytes do not end in CR LF or hold a CR or LF elsewhere.
std::vector<std::string> SplitLines(const std::string& Bytes);

// The lines of every file under Dir and its subfolders, file after file.
std::vector<std::string> LinesOfAllFilesUnder(const std::string& Dir);

// True when Line starts with "HH:NN:SS.ZZZ " (the system's time separator).
bool HasStamp(const std::string& Line);
int MillisecondsOfDay(const Platform::TDateTime& Time);
// A local time, field by field.
Platform::TDateTime At(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour,
                       uint16_t Minute, uint16_t Second, uint16_t Millisecond);
// The same from "YYYY-MM-DD HH:NN:SS.ZZZ" (a table's field); a bad text fails the test.
Platform::TDateTime At(const std::string& Text);

// One call recorded by the log-client stand-in: Kind is "I", "M" or "F"; the
// fields follow as recorded; for "M" Time is the decoded double and
// Milliseconds the whole milliseconds since 1899-12-30 it stands for (compare
// these, never doubles computed along two paths).
struct TRecordedCall {
  std::string Kind;
  std::vector<std::string> Fields;
  double Time = -1.0;
  int64_t Milliseconds = -1;
};
std::vector<TRecordedCall> ReadRecord(const std::string& Path);

// The stand-in library in a folder of the build's bin\ (e.g. "logclient").
std::string StandInLogClient(const std::string& BinDir, const std::string& Folder);

// Runs Body(0) .. Body(Count - 1) on Count threads at once and waits for all.
void RunOnThreads(int Count, const std::function<void(int)>& Body);

// Texts holding CR, LF and zero bytes, each alone and together, and the
// text a log line shows for each (\r, \n, \0).
struct TLineBreakText {
  std::string Text;
  std::string Shown;
};
extern const std::vector<TLineBreakText> LineBreakTexts;

}  // namespace LogTestSupport
