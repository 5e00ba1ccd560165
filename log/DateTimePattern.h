// The date-time pattern notation of the log: time stamps and hourly file
// names are expansions of a pattern against one local date and time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/TimeText.h"

// An expansion never yields more than this many characters; the rest is
// dropped, even in the middle of an element.
constexpr size_t DateTimePatternLimit = 256;

// Expands Pattern left to right against Time:
//   text in double or single quotes  the text without its quotes (an
//                                    unterminated quote runs to the end)
//   YYYY MM DD HH NN SS ZZZ          year (4 digits), month, day, hour (00-23),
//                                    minute, second (2 digits), millisecond (3)
//   :                                TimeSeparator
//   anything else                    itself, letters included
// Element letters match without regard to case. Pure: no clock, no locale.
std::string ExpandDateTimePattern(std::string_view Pattern, const Platform::TDateTime& Time,
                                  std::string_view TimeSeparator);

// The same expansion into Out, which must hold DateTimePatternLimit
// characters; returns the number written. Allocates nothing.
size_t ExpandDateTimePatternTo(char* Out, std::string_view Pattern,
                               const Platform::TDateTime& Time, std::string_view TimeSeparator);

// The date and time fields an expansion of Pattern reads, as a set of the
// bits below: two times that agree in these fields expand to the same text,
// so a caller may keep an expansion until one of them changes.
enum : unsigned {
  DateTimeYear = 1,
  DateTimeMonth = 2,
  DateTimeDay = 4,
  DateTimeHour = 8,
  DateTimeMinute = 16,
  DateTimeSecond = 32,
  DateTimeMillisecond = 64,
};
unsigned DateTimePatternFields(std::string_view Pattern);
// True when A and B agree in every field of Fields.
bool SameDateTimeFields(const Platform::TDateTime& A, const Platform::TDateTime& B, unsigned Fields);

// The time stamp "HH:NN:SS.ZZZ " of a log line, written straight into Out
// (DateTimePatternLimit characters): the same bytes as the expansion of that
// pattern, without reading the pattern. Returns the number written.
size_t PutLogTimeStamp(char* Out, const Platform::TDateTime& Time, std::string_view TimeSeparator);
