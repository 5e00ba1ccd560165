// The date serial: a local date and time as whole milliseconds, and as days
// since 30 December 1899, the form the log client receives. Pure: no clock,
// no locale.
#include "platform/TimeText.h"

// The one floating-point value the plug-in makes must not depend on the
// compiler's choice of arithmetic: x87 registers round a quotient to 64 bits
// first and to 53 when it is stored, which gives another last bit for about
// one instant in four thousand (2000-01-01 00:00:01.509 is one). SSE2
// arithmetic rounds once, as every x86-64 build does; so does the 32-bit
// build, which is compiled for SSE2 throughout, and this function keeps it
// even in a build that is not.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__i386__) || defined(__x86_64__))
#define VELMORA_SSE_ARITHMETIC __attribute__((target("sse2,fpmath=sse")))
#else
#define VELMORA_SSE_ARITHMETIC
#endif

namespace Platform {

namespace {

// Days from the civil date (proleptic Gregorian) to 1970-01-01.
int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned YearOfEra = static_cast<unsigned>(Y - Era * 400);
  const unsigned DayOfYear = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
  return Era * 146097 + static_cast<int64_t>(DayOfEra) - 719468;
}

constexpr int64_t MillisecondsPerDay = 86400000;

}  // namespace

int64_t MillisecondsSince1899(const TDateTime& Time) {
  const int64_t Days = DaysFromCivil(Time.Year, Time.Month, Time.Day) - DaysFromCivil(1899, 12, 30);
  const int64_t OfDay =
      ((int64_t{Time.Hour} * 60 + Time.Minute) * 60 + Time.Second) * 1000 + Time.Millisecond;
  return Days * MillisecondsPerDay + OfDay;
}

// Every instant a TDateTime can hold is less than 2^53 milliseconds from
// 1899, so the conversion is exact and the division is the only rounding.
VELMORA_SSE_ARITHMETIC double DaysFromMilliseconds(int64_t Milliseconds) {
  return static_cast<double>(Milliseconds) / static_cast<double>(MillisecondsPerDay);
}

double DaysSince1899(const TDateTime& Time) { return DaysFromMilliseconds(MillisecondsSince1899(Time)); }

}  // namespace Platform
