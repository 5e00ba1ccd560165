// Local time and the comparison of 8-bit texts as the user's locale does it
// (win32/TimeText.cpp, posix/TimeText.cpp; the date serial in DateSerial.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform {

struct TDateTime {
  uint16_t Year = 1899, Month = 12, Day = 30;
  uint16_t Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
TDateTime LocalNow();
std::string TimeSeparator();                 // the regional time separator (":" usually)
// The date serial (pure). Whole milliseconds since 1899-12-30 00:00, and the
// same instant in days (noon on 17 April 2013 is 41381.5): that count divided
// by 86,400,000 once, so every build gives the same bits for the same instant.
int64_t MillisecondsSince1899(const TDateTime& Time);
double DaysFromMilliseconds(int64_t Milliseconds);
double DaysSince1899(const TDateTime& Time);
// Minutes by which the local time Local is ahead of UTC (negative west of
// Greenwich), by the system's time-zone rules for that date; 0 when the
// system cannot tell.
int32_t UtcOffsetMinutes(const TDateTime& Local);

// Text in the system's ANSI code page (1251 on the target systems, and
// always 1251 in the posix backend) converted to UTF-8.
std::string AnsiToUtf8(const std::string& Text);

// Case-insensitive equality of two 8-bit texts in the user's locale
// (CompareStringA with NORM_IGNORECASE); code page 1251 Cyrillic letters fold
// as well as Latin ones.
bool SameTextNoCase(const char* A, size_t ALength, const char* B, size_t BLength);
inline bool SameTextNoCase(const std::string& A, const std::string& B) {
  return SameTextNoCase(A.data(), A.size(), B.data(), B.size());
}

}  // namespace Platform
