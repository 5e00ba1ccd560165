// The parts of the platform interface that are the same on every system:
// path splitting, the library search with fallback, the date serial, the
// trimming of system texts.
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/TimeText.h"

namespace Platform {

namespace {
size_t LastDelimiter(const std::string& Path) {
  return Path.find_last_of("\\:");
}
}  // namespace

std::string DirectoryPart(const std::string& Path) {
  const size_t At = LastDelimiter(Path);
  return At == std::string::npos ? std::string() : Path.substr(0, At + 1);
}

std::string FileNamePart(const std::string& Path) {
  const size_t At = LastDelimiter(Path);
  return At == std::string::npos ? Path : Path.substr(At + 1);
}

TLibrary LoadLibraryFallback(const std::string& Name) {
  TLibrary Library = LoadLibraryByName(Name);
  if (Library == nullptr && DirectoryPart(Name).empty()) {
    Library = LoadLibraryByName(DirectoryPart(HostExePath()) + Name);
  }
  return Library;
}

double DaysSince1899(const TDateTime& Time) {
  // Days from the civil date (proleptic Gregorian), counted from 1899-12-30.
  auto DaysFromCivil = [](int Y, unsigned M, unsigned D) {
    Y -= M <= 2;
    const int Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned YearOfEra = static_cast<unsigned>(Y - Era * 400);
    const unsigned DayOfYear = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
    const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
    return Era * 146097 + static_cast<int>(DayOfEra) - 719468;
  };
  const int Days = DaysFromCivil(Time.Year, Time.Month, Time.Day) - DaysFromCivil(1899, 12, 30);
  const double Fraction =
      (((Time.Hour * 60.0 + Time.Minute) * 60.0 + Time.Second) * 1000.0 + Time.Millisecond) /
      86400000.0;
  return Days + Fraction;
}

std::string TrimSystemText(std::string Text) {
  if (Text.size() > 256) Text.resize(256);
  while (!Text.empty()) {
    const unsigned char Last = static_cast<unsigned char>(Text.back());
    if (Last > ' ' && Last != 0x7F && Last != '.') break;
    Text.pop_back();
  }
  return Text;
}

std::string TrimmedSystemText(uint32_t Code) { return TrimSystemText(SystemErrorText(Code)); }

}  // namespace Platform
