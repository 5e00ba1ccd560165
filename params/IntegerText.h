// Integer text: how settings values and parameter values are read as 32-bit
// numbers, and how numbers are written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// True, with Value set, when the whole of Text is an integer:
//   optional leading spaces (the byte 32 only), an optional sign '+' or '-',
//   then either decimal digits whose value fits a signed 32-bit integer, or a
//   hexadecimal prefix "$", "x", "X", "0x" or "0X" followed by 1 to 8
//   hexadecimal digits (either letter case), taken as a 32-bit two's
//   complement value ("FFFFFFFF" is -1). The sign applies after that, in
//   32-bit two's complement: "-$FFFFFFFF" is 1 and "-0x80000000" is
//   -2147483648.
// Not an integer (false, Value untouched): the empty text, blanks only, any
// trailing character (blanks included), a blank between sign and digits
// ("- 5"), a prefix without digits ("0x", "$"), 9 or more hexadecimal digits
// (leading zeros count), a decimal value outside -2147483648..2147483647.
// Decimal leading zeros are fine ("007" is 7).
bool TryIntegerText(std::string_view Text, int32_t& Value);

// The value of Text read as above, or Default when it is not an integer.
int32_t IntegerTextOr(std::string_view Text, int32_t Default);

// Plain decimal, with a leading '-' when negative.
std::string IntegerToText(int64_t Value);
