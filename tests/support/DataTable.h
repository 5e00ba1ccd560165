// The suites' tables read from text files (tests/data/README.md): one row a
// line, each row naming its file and line so a failing row can be found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

class TDataRow {
public:
  TDataRow(std::string Where, std::vector<std::string> Fields);
  const std::string& Where() const { return Place; }  // "suite/table.txt:line"
  size_t Size() const { return Raw.size(); }
  std::string Text(size_t Index) const;                  // escapes decoded
  std::vector<std::string> Strings(size_t Index) const;  // a run of "..." strings
  int64_t Int(size_t Index) const;                       // decimal or 0x hexadecimal
  uint64_t Bits(size_t Index) const;                     // unsigned, decimal or 0x

private:
  const std::string& Field(size_t Index) const;
  std::string Place;
  std::vector<std::string> Raw;  // as written, trimmed
};

// Every row of the file; a missing, unreadable or empty file is a test failure.
std::vector<TDataRow> ReadDataTable(const std::string& Dir, const std::string& Name);

}  // namespace TestSupport

#ifdef VELMORA_TEST_DATA_DIR
// The table Name ("suite/table.txt") of tests/data.
inline std::vector<TestSupport::TDataRow> DataTable(const std::string& Name) {
  return TestSupport::ReadDataTable(VELMORA_TEST_DATA_DIR, Name);
}
#endif
