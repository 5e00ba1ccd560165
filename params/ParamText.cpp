// The parameter list text: the single-line comma-separated form of a list.
//
// Every scan below steps byte by byte. That is character by character in the
// single-byte code page of the target systems (1251: Cyrillic letters are the
// single bytes 0xC0..0xFF), so no part of a character is ever taken for a
// blank, comma, quote or equals sign.
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

bool NeedsQuotes(const std::string& Item) {
  for (const char C : Item) {
    if (C == Quote || C == Separator || IsBlank(C)) return true;
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
