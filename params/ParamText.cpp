// The parameter list text: the single-line comma-separated form of a list.
//
// Every scan below steps byte by byte. That is character by character in the
// single-byte code page of the target systems (1251: Cyrillic letters are the
// single bytes 0xC0..0xFF), so no part of a character is ever taken for a
// blank, comma, quote or equals sign.
#include <cstdint>
#include <cstring>

#include "params/ParamList.h"

namespace {

constexpr char Quote = '"';
constexpr char Separator = ',';

// A blank is any byte 1..32: space and the control characters.
inline bool IsBlank(char C) {
  const unsigned char U = static_cast<unsigned char>(C);
  return U >= 1 && U <= 32;
}

// Bytes that make an item quoted: the quote, the comma and the blanks.
inline bool IsSpecial(char C) { return C == Quote || C == Separator || IsBlank(C); }

// True when a byte of the 8 in Word is below 33 or equals Quote or Separator
// (a zero byte too, which the exact check below then clears): eight bytes at
// a time, since almost every item needs no quotes and its bytes are all
// looked at.
inline bool MayHoldSpecial(uint64_t Word) {
  constexpr uint64_t Ones = 0x0101010101010101ull;
  constexpr uint64_t Highs = 0x8080808080808080ull;
  const auto Zero = [](uint64_t X) { return (X - Ones) & ~X & Highs; };
  const uint64_t Below33 = (Word - Ones * 33) & ~Word & Highs;
  return (Below33 | Zero(Word ^ (Ones * static_cast<unsigned char>(Quote))) |
          Zero(Word ^ (Ones * static_cast<unsigned char>(Separator)))) != 0;
}

bool NeedsQuotes(const std::string& Item) {
  const char* const Bytes = Item.data();
  const size_t Size = Item.size();
  size_t At = 0;
  for (; At + 8 <= Size; At += 8) {
    uint64_t Word;
    std::memcpy(&Word, Bytes + At, sizeof Word);
    if (!MayHoldSpecial(Word)) continue;
    for (size_t I = At; I < At + 8; ++I) {
      if (IsSpecial(Bytes[I])) return true;
    }
  }
  for (; At < Size; ++At) {
    if (IsSpecial(Bytes[At])) return true;
  }
  return false;
}

// Appends Item to Text, quoted when it holds a quote, comma or blank.
void AppendItemText(std::string& Text, const std::string& Item) {
  if (!NeedsQuotes(Item)) {
    Text += Item;
    return;
  }
  Text += Quote;
  for (const char C : Item) {
    if (C == Quote) Text += Quote;
    Text += C;
  }
  Text += Quote;
}

}  // namespace

std::string TParamList::ParamsToText() const {
  // One empty item: the two quotes keep it apart from the empty list.
  if (Items.size() == 1 && Items[0].empty()) return std::string(2, Quote);
  size_t Size = 0;
  for (const std::string& Item : Items) Size += Item.size() + 3;  // commas, quotes
  std::string Text;
  Text.reserve(Size);
  for (size_t I = 0; I < Items.size(); ++I) {
    if (I > 0) Text += Separator;
    AppendItemText(Text, Items[I]);
  }
  return Text;
}

void TParamList::ParamsFromText(std::string_view Text) {
  Items.clear();
  const size_t Nul = Text.find('\0');
  if (Nul != std::string_view::npos) Text = Text.substr(0, Nul);
  const char* const Begin = Text.data();
  const size_t Length = Text.size();
  size_t P = 0;
  auto SkipBlanks = [&] {
    while (P < Length && IsBlank(Begin[P])) ++P;
  };

  SkipBlanks();
  while (P < Length) {
    if (Begin[P] == Quote) {
      // Quoted item: up to the next quote that is not doubled; each doubled
      // quote stands for one. Without a closing quote it runs to the end.
      std::string& Item = Items.emplace_back();
      ++P;
      while (P < Length) {
        const void* Found = std::memchr(Begin + P, Quote, Length - P);
        const size_t Next = Found ? static_cast<size_t>(static_cast<const char*>(Found) - Begin) : Length;
        Item.append(Begin + P, Next - P);
        P = Next;
        if (P == Length) break;
        if (P + 1 < Length && Begin[P + 1] == Quote) {
          Item += Quote;
          P += 2;
        } else {
          ++P;  // the closing quote
          break;
        }
      }
    } else {
      // Plain item: up to the first blank, comma or the end; may be empty and
      // may hold quotes.
      const size_t Start = P;
      while (P < Length && !IsBlank(Begin[P]) && Begin[P] != Separator) ++P;
      Items.emplace_back(Begin + Start, P - Start);
    }
    SkipBlanks();
    if (P < Length && Begin[P] == Separator) {
      // Only a comma that is the very last character ends in an empty item.
      if (P + 1 == Length) Items.emplace_back();
      ++P;
      SkipBlanks();
    }
  }
}
