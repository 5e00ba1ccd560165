// Local time, the UTC offset, case-insensitive text comparison and the UTF-8
// form of 8-bit texts for the posix backend: texts are code page 1251, as the
// system's ANSI code page is on the target systems in a Russian locale.
#include <array>
#include <cstring>
#include <ctime>

#include "platform/FaultPoint.h"
#include "platform/TimeText.h"

namespace Platform {

TDateTime LocalNow() {
  timespec Now{};
  clock_gettime(CLOCK_REALTIME, &Now);
  tm Local{};
  localtime_r(&Now.tv_sec, &Local);
  TDateTime Time;
  Time.Year = static_cast<uint16_t>(Local.tm_year + 1900);
  Time.Month = static_cast<uint16_t>(Local.tm_mon + 1);
  Time.Day = static_cast<uint16_t>(Local.tm_mday);
  Time.Hour = static_cast<uint16_t>(Local.tm_hour);
  Time.Minute = static_cast<uint16_t>(Local.tm_min);
  Time.Second = static_cast<uint16_t>(Local.tm_sec > 59 ? 59 : Local.tm_sec);  // no leap second
  Time.Millisecond = static_cast<uint16_t>(Now.tv_nsec / 1000000L);
  return VELMORA_SEAM_CLOCK(Time);
}

std::string TimeSeparator() { return ":"; }

int32_t UtcOffsetMinutes(const TDateTime& Local) {
  tm Fields{};
  Fields.tm_year = Local.Year - 1900;
  Fields.tm_mon = Local.Month - 1;
  Fields.tm_mday = Local.Day;
  Fields.tm_hour = Local.Hour;
  Fields.tm_min = Local.Minute;
  Fields.tm_sec = Local.Second;
  Fields.tm_isdst = -1;  // the rules decide
  if (mktime(&Fields) == static_cast<time_t>(-1)) return 0;
  return static_cast<int32_t>(Fields.tm_gmtoff / 60);
}

namespace {

// The characters of the bytes 0x80 to 0xFF of code page 1251 (0x98, which
// the code page leaves undefined, as U+0098, as Windows converts it).
constexpr uint16_t Upper1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void AppendUtf8(std::string& Out, uint32_t Code) {
  if (Code < 0x80) {
    Out += static_cast<char>(Code);
  } else if (Code < 0x800) {
    Out += static_cast<char>(0xC0 | (Code >> 6));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  } else {
    Out += static_cast<char>(0xE0 | (Code >> 12));
    Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Code & 0x3F));
  }
}

}  // namespace

std::string AnsiToUtf8(const std::string& Text) {
  std::string Out;
  Out.reserve(Text.size() * 2);
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    AppendUtf8(Out, Byte < 0x80 ? Byte : Upper1251[Byte - 0x80]);
  }
  return Out;
}

namespace {

// Lower-case form of every byte of code page 1251.
using TFoldTable = std::array<unsigned char, 256>;

constexpr TFoldTable MakeFoldTable() {
  TFoldTable Table{};
  for (int C = 0; C < 256; ++C) Table[C] = static_cast<unsigned char>(C);
  for (int C = 'A'; C <= 'Z'; ++C) Table[C] = static_cast<unsigned char>(C + 32);
  for (int C = 0xC0; C <= 0xDF; ++C) Table[C] = static_cast<unsigned char>(C + 32);
  // Capital and small letters outside the two runs (Ё, Ђ, Ѓ, Љ, Њ, Ќ, Ћ, Џ,
  // Ў, Ј, Ґ, Є, Ї, І, Ѕ).
  constexpr unsigned char Pairs[][2] = {
      {0xA8, 0xB8}, {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
      {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC},
      {0xA5, 0xB4}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE},
  };
  for (const auto& Pair : Pairs) Table[Pair[0]] = Pair[1];
  return Table;
}

constexpr TFoldTable Fold = MakeFoldTable();

}  // namespace

bool SameTextNoCase(const char* A, size_t ALength, const char* B, size_t BLength) {
  if (ALength != BLength) return false;
  const auto* X = reinterpret_cast<const unsigned char*>(A);
  const auto* Y = reinterpret_cast<const unsigned char*>(B);
  for (size_t I = 0; I < ALength; ++I) {
    if (X[I] != Y[I] && Fold[X[I]] != Fold[Y[I]]) return false;
  }
  return true;
}

}  // namespace Platform
