#include "tests/support/DataTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace TestSupport {

namespace {

std::string Trimmed(const std::string& Text) {
  const size_t First = Text.find_first_not_of(" \t\r");
  if (First == std::string::npos) return "";
  return Text.substr(First, Text.find_last_not_of(" \t\r") - First + 1);
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// The byte at Text[I] (an escape or itself); I moves past it.
char Unit(const std::string& Text, size_t& I, size_t To, const std::string& Where) {
  if (Text[I] != '\\') return Text[I++];
  const char Next = I + 1 < To ? Text[I + 1] : '\0';
  I += 2;
  switch (Next) {
    case '0': return '\0';
    case 't': return '\t';
    case 'r': return '\r';
    case 'n': return '\n';
    case '\\': case '|': case '"': return Next;
    case 'x':
      if (I + 1 < To && HexDigit(Text[I]) >= 0 && HexDigit(Text[I + 1]) >= 0) {
        I += 2;
        return static_cast<char>(HexDigit(Text[I - 2]) * 16 + HexDigit(Text[I - 1]));
      }
      [[fallthrough]];
    default: ADD_FAILURE() << Where << ": bad escape in [" << Text << "]"; return '?';
  }
}

// Decodes Text[From, To): escapes, and {N*c} for N copies of c.
std::string Unescaped(const std::string& Text, size_t From, size_t To, const std::string& Where) {
  std::string Out;
  for (size_t I = From; I < To;) {
    const size_t Star = Text.find('*', I);
    if (Text[I] == '{' && Star < To && Star > I + 1 &&
        Text.find_first_not_of("0123456789", I + 1) == Star) {
      size_t At = Star + 1;
      const char Byte = At < To ? Unit(Text, At, To, Where) : '?';
      if (At < To && Text[At] == '}') {
        Out.append(std::stoul(Text.substr(I + 1, Star - I - 1)), Byte);
        I = At + 1;
        continue;
      }
    }
    Out += Unit(Text, I, To, Where);
  }
  return Out;
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
