// Local time, the regional time separator and case-insensitive comparison in
// the user's locale, for Win32.
#include <windows.h>

#include <climits>

#include "platform/FaultPoint.h"
#include "platform/TimeText.h"

namespace Platform {

TDateTime LocalNow() {
  SYSTEMTIME Now;
  GetLocalTime(&Now);
  TDateTime Time;
  Time.Year = Now.wYear;
  Time.Month = Now.wMonth;
  Time.Day = Now.wDay;
  Time.Hour = Now.wHour;
  Time.Minute = Now.wMinute;
  Time.Second = Now.wSecond;
  Time.Millisecond = Now.wMilliseconds;
  return VELMORA_SEAM_CLOCK(Time);
}

std::string TimeSeparator() {
  char Buffer[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, Buffer, sizeof Buffer) == 0) return ":";
  return std::string(Buffer);
}

bool SameTextNoCase(const char* A, size_t ALength, const char* B, size_t BLength) {
  if (ALength > INT_MAX || BLength > INT_MAX) return false;
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, A, static_cast<int>(ALength), B,
                        static_cast<int>(BLength)) == CSTR_EQUAL;
}

}  // namespace Platform
