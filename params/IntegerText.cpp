// Integer text: the reader of decimal and hexadecimal 32-bit numbers.
#include "params/IntegerText.h"

#include <charconv>

namespace {

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Length of the hexadecimal prefix at the start of Text, or 0 when none.
size_t HexPrefix(std::string_view Text) {
  if (Text.empty()) return 0;
  if (Text[0] == '$' || Text[0] == 'x' || Text[0] == 'X') return 1;
  if (Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) return 2;
  return 0;
}

}  // namespace

bool TryIntegerText(std::string_view Text, int32_t& Value) {
  size_t P = 0;
  while (P < Text.size() && Text[P] == ' ') ++P;
  bool Negative = false;
  if (P < Text.size() && (Text[P] == '+' || Text[P] == '-')) {
    Negative = Text[P] == '-';
    ++P;
  }
  const std::string_view Rest = Text.substr(P);
  if (Rest.empty()) return false;

  uint32_t Magnitude = 0;  // unsigned, so wrapping is defined
  if (const size_t Prefix = HexPrefix(Rest); Prefix > 0) {
    const std::string_view Digits = Rest.substr(Prefix);
    if (Digits.empty() || Digits.size() > 8) return false;
    for (const char C : Digits) {
      const int D = HexDigit(C);
      if (D < 0) return false;
      Magnitude = (Magnitude << 4) | static_cast<uint32_t>(D);
    }
    // Two's complement of the 32-bit value, then the sign, both modulo 2^32.
    if (Negative) Magnitude = 0u - Magnitude;
    Value = static_cast<int32_t>(Magnitude);
    return true;
  }

  // Decimal: the limit is 2147483647, or 2147483648 with a minus sign.
  const uint64_t Limit = Negative ? 2147483648ull : 2147483647ull;
  uint64_t Decimal = 0;
  for (const char C : Rest) {
    if (C < '0' || C > '9') return false;
    Decimal = Decimal * 10 + static_cast<uint64_t>(C - '0');
    if (Decimal > Limit) return false;
  }
  Magnitude = static_cast<uint32_t>(Decimal);
  if (Negative) Magnitude = 0u - Magnitude;
  Value = static_cast<int32_t>(Magnitude);
  return true;
}

int32_t IntegerTextOr(std::string_view Text, int32_t Default) {
  int32_t Value = Default;
  return TryIntegerText(Text, Value) ? Value : Default;
}

std::string IntegerToText(int64_t Value) {
  char Buffer[24];
  const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  return std::string(Buffer, Result.ptr);
}
