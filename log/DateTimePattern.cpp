// Expansion of the log's date-time pattern notation (pure, allocation-free core).
#include "log/DateTimePattern.h"

#include <cstring>

namespace {

// Bounded output into a caller's buffer of DateTimePatternLimit characters.
class TBoundedOut {
public:
  explicit TBoundedOut(char* Buffer) : Buffer(Buffer) {}
  void Put(std::string_view Text) {
    const size_t Room = DateTimePatternLimit - Length;
    const size_t Count = Text.size() < Room ? Text.size() : Room;
    if (Count != 0) std::memcpy(Buffer + Length, Text.data(), Count);
    Length += Count;
  }
  void Put(char C) {
    if (Length < DateTimePatternLimit) Buffer[Length++] = C;
  }
  void PutNumber(unsigned Value, int Digits) {
    char Text[8];
    for (int I = Digits - 1; I >= 0; --I) {
      Text[I] = static_cast<char>('0' + Value % 10);
      Value /= 10;
    }
    Put(std::string_view(Text, static_cast<size_t>(Digits)));
  }
  size_t Size() const { return Length; }

private:
  char* Buffer;
  size_t Length = 0;
};

char Upper(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C; }

// True when Pattern at At starts with Element (upper-case letters), ignoring case.
bool StartsWithElement(std::string_view Pattern, size_t At, std::string_view Element) {
  if (Pattern.size() - At < Element.size()) return false;
  for (size_t I = 0; I < Element.size(); ++I) {
    if (Upper(Pattern[At + I]) != Element[I]) return false;
  }
  return true;
}

// The elements of the notation, tried in this order.
struct TElement {
  std::string_view Letters;
  unsigned Field;
  int Digits;
};
constexpr TElement Elements[] = {
    {"YYYY", DateTimeYear, 4},  {"MM", DateTimeMonth, 2},  {"DD", DateTimeDay, 2},
    {"HH", DateTimeHour, 2},    {"NN", DateTimeMinute, 2}, {"SS", DateTimeSecond, 2},
    {"ZZZ", DateTimeMillisecond, 3},
};

// The element that Pattern starts with at At; null when none, and the byte
// there stands for itself.
const TElement* ElementAt(std::string_view Pattern, size_t At) {
  // Only these letters can start an element.
  const char Letter = Upper(Pattern[At]);
  if (Letter != 'Y' && Letter != 'M' && Letter != 'D' && Letter != 'H' && Letter != 'N' &&
      Letter != 'S' && Letter != 'Z') {
    return nullptr;
  }
  for (const TElement& Element : Elements) {
    if (StartsWithElement(Pattern, At, Element.Letters)) return &Element;
  }
  return nullptr;
}

unsigned FieldValue(const Platform::TDateTime& Time, unsigned Field) {
  switch (Field) {
    case DateTimeYear: return Time.Year;
    case DateTimeMonth: return Time.Month;
    case DateTimeDay: return Time.Day;
    case DateTimeHour: return Time.Hour;
    case DateTimeMinute: return Time.Minute;
    case DateTimeSecond: return Time.Second;
    default: return Time.Millisecond;
  }
}

}  // namespace

size_t ExpandDateTimePatternTo(char* Out, std::string_view Pattern,
                               const Platform::TDateTime& Time, std::string_view TimeSeparator) {
  TBoundedOut Output(Out);
  size_t At = 0;
  while (At < Pattern.size() && Output.Size() < DateTimePatternLimit) {
    const char C = Pattern[At];
    if (C == '"' || C == '\'') {
      const size_t Close = Pattern.find(C, At + 1);
      const size_t End = Close == std::string_view::npos ? Pattern.size() : Close;
      Output.Put(Pattern.substr(At + 1, End - At - 1));
      At = Close == std::string_view::npos ? End : Close + 1;
      continue;
    }
    if (C == ':') {
      Output.Put(TimeSeparator);
      ++At;
      continue;
    }
    if (const TElement* Element = ElementAt(Pattern, At)) {
      Output.PutNumber(FieldValue(Time, Element->Field), Element->Digits);
      At += Element->Letters.size();
    } else {
      Output.Put(C);
      ++At;
    }
  }
  return Output.Size();
}

std::string ExpandDateTimePattern(std::string_view Pattern, const Platform::TDateTime& Time,
                                  std::string_view TimeSeparator) {
  char Buffer[DateTimePatternLimit];
  return std::string(Buffer, ExpandDateTimePatternTo(Buffer, Pattern, Time, TimeSeparator));
}

unsigned DateTimePatternFields(std::string_view Pattern) {
  // The same walk as the expansion: quoted text and ':' read no field; an
  // element reads its own. The output limit may cut an expansion short, but
  // only ever at the same place for the same fields.
  unsigned Fields = 0;
  size_t At = 0;
  while (At < Pattern.size()) {
    const char C = Pattern[At];
    if (C == '"' || C == '\'') {
      const size_t Close = Pattern.find(C, At + 1);
      At = Close == std::string_view::npos ? Pattern.size() : Close + 1;
      continue;
    }
    if (const TElement* Element = ElementAt(Pattern, At)) {
      Fields |= Element->Field;
      At += Element->Letters.size();
    } else {
      ++At;
    }
  }
  return Fields;
}

bool SameDateTimeFields(const Platform::TDateTime& A, const Platform::TDateTime& B, unsigned Fields) {
  return ((Fields & DateTimeYear) == 0 || A.Year == B.Year) &&
         ((Fields & DateTimeMonth) == 0 || A.Month == B.Month) &&
         ((Fields & DateTimeDay) == 0 || A.Day == B.Day) &&
         ((Fields & DateTimeHour) == 0 || A.Hour == B.Hour) &&
         ((Fields & DateTimeMinute) == 0 || A.Minute == B.Minute) &&
         ((Fields & DateTimeSecond) == 0 || A.Second == B.Second) &&
         ((Fields & DateTimeMillisecond) == 0 || A.Millisecond == B.Millisecond);
}

size_t PutLogTimeStamp(char* Out, const Platform::TDateTime& Time, std::string_view TimeSeparator) {
  TBoundedOut Output(Out);
  Output.PutNumber(Time.Hour, 2);
  Output.Put(TimeSeparator);
  Output.PutNumber(Time.Minute, 2);
  Output.Put(TimeSeparator);
  Output.PutNumber(Time.Second, 2);
  Output.Put('.');
  Output.PutNumber(Time.Millisecond, 3);
  Output.Put(' ');
  return Output.Size();
}
