#include "tests/support/DataTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/CaseScript.h"

namespace TestSupport {

namespace {

std::string Trimmed(const std::string& Text) {
  const size_t First = Text.find_first_not_of(" \t\r");
  if (First == std::string::npos) return "";
  return Text.substr(First, Text.find_last_not_of(" \t\r") - First + 1);
}

// Decodes Text[From, To) as a case file's bytes (DecodeBytes); a malformed
// escape fails the test at the row's place.
std::string Unescaped(const std::string& Text, size_t From, size_t To, const std::string& Where) {
  try {
    return DecodeBytes(Text.substr(From, To - From));
  } catch (const std::exception& Error) {
    ADD_FAILURE() << Where << ": " << Error.what();
    return "";
  }
}

}  // namespace

TDataRow::TDataRow(std::string Where, std::vector<std::string> Fields)
    : Place(std::move(Where)), Raw(std::move(Fields)) {}

const std::string& TDataRow::Field(size_t Index) const {
  static const std::string None;
  if (Index < Raw.size()) return Raw[Index];
  ADD_FAILURE() << Place << ": no field " << Index;
  return None;
}

std::string TDataRow::Text(size_t Index) const {
  const std::string& Raw = Field(Index);
  return Unescaped(Raw, 0, Raw.size(), Place);
}

std::vector<std::string> TDataRow::Strings(size_t Index) const {
  const std::string& Raw = Field(Index);
  std::vector<std::string> Out;
  size_t I = 0;
  while ((I = Raw.find_first_not_of(' ', I)) != std::string::npos) {
    size_t End = I + 1;
    while (End < Raw.size() && Raw[End] != '"') End += Raw[End] == '\\' ? 2 : 1;
    if (Raw[I] != '"' || End >= Raw.size()) {
      ADD_FAILURE() << Place << ": not a run of quoted strings: [" << Raw << "]";
      break;
    }
    Out.push_back(Unescaped(Raw, I + 1, End, Place));
    I = End + 1;
  }
  return Out;
}

// Base 16 after "0x", else 10 (a leading zero is no octal mark here).
static int BaseOf(const std::string& Text) {
  const size_t At = Text.rfind("0x", 1);
  return At != std::string::npos && At <= size_t(Text[0] == '-') ? 16 : 10;
}

int64_t TDataRow::Int(size_t Index) const {
  const std::string Text = this->Text(Index);
  char* End = nullptr;
  const long long Value = std::strtoll(Text.c_str(), &End, BaseOf(Text));
  if (Text.empty() || *End != '\0') ADD_FAILURE() << Place << ": not an integer: [" << Text << "]";
  return Value;
}

uint64_t TDataRow::Bits(size_t Index) const {
  const std::string Text = this->Text(Index);
  char* End = nullptr;
  const unsigned long long Value = std::strtoull(Text.c_str(), &End, BaseOf(Text));
  if (Text.empty() || *End != '\0') ADD_FAILURE() << Place << ": not an unsigned integer: [" << Text << "]";
  return Value;
}

std::vector<TDataRow> ReadDataTable(const std::string& Dir, const std::string& Name) {
  std::vector<TDataRow> Rows;
  const std::string Path = Dir + "/" + Name;
  std::ifstream In(Path, std::ios::binary);
  std::string Line;
  for (int Number = 1; std::getline(In, Line); ++Number) {
    const std::string Row = Trimmed(Line);
    if (Row.empty() || Row[0] == '#') continue;
    std::vector<std::string> Fields(1);
    for (size_t I = 0; I < Row.size(); ++I) {
      if (Row[I] == '|') {
        Fields.emplace_back();
        continue;
      }
      if (Row[I] == '\\' && I + 1 < Row.size()) Fields.back() += Row[I++];
      Fields.back() += Row[I];
    }
    for (std::string& Field : Fields) Field = Trimmed(Field);
    Rows.emplace_back(Name + ":" + std::to_string(Number), std::move(Fields));
  }
  if (Rows.empty()) ADD_FAILURE() << "no rows read from " << Path;
  return Rows;
}

}  // namespace TestSupport
