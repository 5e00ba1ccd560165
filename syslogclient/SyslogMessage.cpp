// Formatting RFC 5424 messages and RFC 6587 frames.
#include "syslogclient/SyslogMessage.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t MsPerDay = 86400000;
// 30 December 1899 counted from 1 March of the year 0 (the epoch of the
// conversion below).
constexpr int64_t Day1899FromMarch0 = 693899;

// A field of printable ASCII (33..126) of at most Limit characters; "-" when empty.
void AppendField(std::string& Out, const std::string& Value, size_t Limit) {
  Out += ' ';
  if (Value.empty()) {
    Out += '-';
    return;
  }
  for (size_t I = 0; I < Value.size() && I < Limit; ++I) {
    const auto C = static_cast<unsigned char>(Value[I]);
    Out += C >= 33 && C <= 126 ? static_cast<char>(C) : '_';
  }
}

void AppendDigits(std::string& Out, uint32_t Value, int Width) {
  char Text[12];
  std::snprintf(Text, sizeof Text, "%0*u", Width, Value);
  Out += Text;
}

// Bytes of Text to keep to hold at most Limit bytes without cutting a
// UTF-8 character.
size_t Utf8Cut(const std::string& Text, size_t Limit) {
  if (Text.size() <= Limit) return Text.size();
  size_t Cut = Limit;
  while (Cut > 0 && (static_cast<unsigned char>(Text[Cut]) & 0xC0) == 0x80) --Cut;
  return Cut;
}

}  // namespace

bool LocalTimeFromDays(double Days, Platform::TDateTime& Time) {
  if (!(Days >= 1.0 && Days < 2958466.0)) return false;  // 1899-12-31 .. 9999-12-31
  const int64_t Ms = std::llround(Days * static_cast<double>(MsPerDay));
  const int64_t Day = Ms / MsPerDay;
  const int64_t OfDay = Ms % MsPerDay;
  // Civil date from a day count (H. Hinnant's algorithm, years from March).
  const int64_t Z = Day + Day1899FromMarch0;
  const int64_t Era = Z / 146097;
  const int64_t DayOfEra = Z - Era * 146097;
  const int64_t YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
  const int64_t DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
  const int64_t MonthIndex = (5 * DayOfYear + 2) / 153;
  const int64_t MonthDay = DayOfYear - (153 * MonthIndex + 2) / 5 + 1;
  const int64_t Month = MonthIndex < 10 ? MonthIndex + 3 : MonthIndex - 9;
  const int64_t Year = YearOfEra + Era * 400 + (Month <= 2 ? 1 : 0);
  if (Year < 1900 || Year > 9999) return false;
  Time.Year = static_cast<uint16_t>(Year);
  Time.Month = static_cast<uint16_t>(Month);
  Time.Day = static_cast<uint16_t>(MonthDay);
  Time.Hour = static_cast<uint16_t>(OfDay / 3600000);
  Time.Minute = static_cast<uint16_t>(OfDay / 60000 % 60);
  Time.Second = static_cast<uint16_t>(OfDay / 1000 % 60);
  Time.Millisecond = static_cast<uint16_t>(OfDay % 1000);
  return true;
}

std::string FormatSyslogMessage(const TSyslogFields& Fields, size_t MaxBytes) {
  std::string Out;
  Out.reserve(96 + Fields.Utf8Text.size());
  Out += '<';
  Out += std::to_string(Fields.Facility * 8 + 6);  // severity 6: informational
  Out += ">1 ";
  if (Fields.HasTime) {
    const Platform::TDateTime& T = Fields.Time;
    AppendDigits(Out, T.Year, 4);
    Out += '-';
    AppendDigits(Out, T.Month, 2);
    Out += '-';
    AppendDigits(Out, T.Day, 2);
    Out += 'T';
    AppendDigits(Out, T.Hour, 2);
    Out += ':';
    AppendDigits(Out, T.Minute, 2);
    Out += ':';
    AppendDigits(Out, T.Second, 2);
    Out += '.';
    AppendDigits(Out, T.Millisecond, 3);
    const int32_t Offset = Fields.OffsetMinutes;
    Out += Offset < 0 ? '-' : '+';
    const uint32_t Magnitude = static_cast<uint32_t>(Offset < 0 ? -Offset : Offset);
    AppendDigits(Out, Magnitude / 60, 2);
    Out += ':';
    AppendDigits(Out, Magnitude % 60, 2);
  } else {
    Out += '-';
  }
  AppendField(Out, Fields.HostName, 255);
  AppendField(Out, Fields.AppName, 48);
  AppendField(Out, std::to_string(Fields.ProcessId), 128);
  AppendField(Out, Fields.MessageId, 32);
  Out += " - \xEF\xBB\xBF";  // no structured data; the BOM marks the text as UTF-8
  size_t Keep = Fields.Utf8Text.size();
  if (MaxBytes != 0) Keep = Out.size() >= MaxBytes ? 0 : Utf8Cut(Fields.Utf8Text, MaxBytes - Out.size());
  Out.append(Fields.Utf8Text, 0, Keep);
  return Out;
}

void AppendOctetFrame(std::string& Out, const std::string& Message) {
  Out += std::to_string(Message.size());
  Out += ' ';
  Out += Message;
}
