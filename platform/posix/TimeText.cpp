// Local time and case-insensitive text comparison for the posix backend: the
// comparison folds the letters of code page 1251 (Latin and Cyrillic) as the
// system does for 8-bit texts in a Russian locale.
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
