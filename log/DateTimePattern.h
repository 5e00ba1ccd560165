// The date-time pattern notation of the log: time stamps and hourly file
// names are expansions of a pattern against one local date and time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Platform.h"

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
