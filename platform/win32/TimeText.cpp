// Local time, the UTC offset, the regional time separator, case-insensitive
// comparison in the user's locale and the UTF-8 form of ANSI texts, for Win32.
#include <windows.h>

#include <climits>
#include <vector>

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

int32_t UtcOffsetMinutes(const TDateTime& Local) {
  const SYSTEMTIME AsLocal{Local.Year, Local.Month, 0, Local.Day, Local.Hour, Local.Minute,
                           Local.Second, 0};
  SYSTEMTIME AsUtc{};
  FILETIME LocalFile{}, UtcFile{};
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &AsLocal, &AsUtc) ||
      !SystemTimeToFileTime(&AsLocal, &LocalFile) || !SystemTimeToFileTime(&AsUtc, &UtcFile)) {
    return 0;
  }
  const auto Ticks = [](const FILETIME& Time) {
    return static_cast<int64_t>((static_cast<uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime);
  };
  return static_cast<int32_t>((Ticks(LocalFile) - Ticks(UtcFile)) / 600000000LL);  // 100 ns ticks
}

std::string AnsiToUtf8(const std::string& Text) {
  if (Text.empty() || Text.size() > INT_MAX / 3) return std::string();
  const int Length = static_cast<int>(Text.size());
  std::vector<wchar_t> Wide(Text.size());
  const int WideLength = MultiByteToWideChar(CP_ACP, 0, Text.data(), Length, Wide.data(), Length);
  if (WideLength <= 0) return std::string();
  std::string Out(static_cast<size_t>(WideLength) * 3, '\0');
  const int OutLength = WideCharToMultiByte(CP_UTF8, 0, Wide.data(), WideLength, Out.data(),
                                            static_cast<int>(Out.size()), nullptr, nullptr);
  Out.resize(OutLength > 0 ? static_cast<size_t>(OutLength) : 0);
  return Out;
}

bool SameTextNoCase(const char* A, size_t ALength, const char* B, size_t BLength) {
  if (ALength > INT_MAX || BLength > INT_MAX) return false;
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, A, static_cast<int>(ALength), B,
                        static_cast<int>(BLength)) == CSTR_EQUAL;
}

}  // namespace Platform
