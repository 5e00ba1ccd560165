// The parameter list: an ordered list of 8-bit text items, normally
// "Name=Value", with first-match case-insensitive lookup by name and the
// comma-separated text form.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// An ordered list of items. Items keep the order in which they were added;
// two items may carry the same name and both stay. An item's name is its text
// before its first '=' (an item without '=' has no name and is never found by
// name); its value is the text after that '='. A list is used by one thread at
// a time; it takes no lock.
class TParamList {
public:
  // ---- plain access. An index outside 0..Count()-1 raises std::runtime_error.
  void Add(std::string Item) { Items.push_back(std::move(Item)); }
  void Delete(int Index);
  void Clear() { Items.clear(); }  // keeps the storage for the next fill
  int Count() const { return static_cast<int>(Items.size()); }
  const std::string& Item(int Index) const;
  void SetItem(int Index, std::string Item);

  // ---- names and values (names compare case-insensitively in the user's
  // locale, so Cyrillic letters of code page 1251 fold too).
  // Index of the first item whose name equals Name, or -1.
  int FindParam(std::string_view Name) const;
  // Value of the first item named Name; empty when there is none (a missing
  // name and an empty value are not told apart).
  std::string GetParam(std::string_view Name) const;
  // A non-empty Value replaces the first item named Name in its place with
  // Name (as given here) '=' Value, or appends that item when there is none.
  // An empty Value deletes the first item named Name, if any. Later items of
  // the same name are never touched.
  void SetParam(std::string_view Name, std::string_view Value);

  // ---- parameter list text: one line, items joined by commas; an item holding
  // a quote, a comma or a blank (a byte 1..32) is quoted with inner quotes
  // doubled. A list of exactly one empty item is written as two quotes, so it
  // differs from the empty list. Reading back the text gives the same items for
  // every list whose items hold no NUL (an item holding NUL is written as it
  // stands; a reader stops at that NUL).
  std::string ParamsToText() const;
  // Replaces the items by those read from Text. Reading stops at the end of
  // Text or at its first NUL byte. A quoted item without its closing quote runs
  // to the end of the text (doubled quotes inside still stand for one). Nothing
  // outside Text is ever read.
  void ParamsFromText(std::string_view Text);

private:
  // Storage of the items, in list order. Strings may hold any bytes.
  std::vector<std::string> Items;

  void CheckIndex(int Index) const;
};
