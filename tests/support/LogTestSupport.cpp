// Helpers of the log suites (no dependency on the log library itself).
#include "tests/support/LogTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/Files.h"
#include "platform/Thread.h"
#include "tests/support/TestSupport.h"

namespace LogTestSupport {

std::vector<std::string> SplitLines(const std::string& Bytes) {
  std::vector<std::string> Lines;
  size_t At = 0;
  while (At < Bytes.size()) {
    const size_t End = Bytes.find("\r\n", At);
    if (End == std::string::npos) {
      ADD_FAILURE() << "bytes after the last CR LF: " << Bytes.substr(At, 80);
      break;
    }
    std::string Line = Bytes.substr(At, End - At);
    if (Line.find_first_of("\r\n") != std::string::npos) ADD_FAILURE() << "stray line break in " << Line;
    Lines.push_back(std::move(Line));
    At = End + 2;
  }
  return Lines;
}

std::vector<std::string> LinesOfAllFilesUnder(const std::string& Dir) {
  std::vector<std::string> Lines;
  std::error_code Error;
  for (const auto& Entry :
       std::filesystem::recursive_directory_iterator(Platform::ToNativePath(Dir), Error)) {
    if (!Entry.is_regular_file()) continue;
    for (std::string& Line :
         SplitLines(TestSupport::ReadFileBytes(Platform::FromNativePath(Entry.path().string())))) {
      Lines.push_back(std::move(Line));
    }
  }
  return Lines;
}

namespace {
bool Digits(const std::string& Text, size_t At, size_t Count) {
  if (Text.size() < At + Count) return false;
  for (size_t I = At; I < At + Count; ++I) {
    if (Text[I] < '0' || Text[I] > '9') return false;
  }
  return true;
}
int Number(const std::string& Text, size_t At, size_t Count) {
  return std::stoi(Text.substr(At, Count));
}
}  // namespace

bool HasStamp(const std::string& Line) {
  const std::string Sep = Platform::TimeSeparator();
  const size_t S = Sep.size();
  // HH sep NN sep SS . ZZZ space
  return Digits(Line, 0, 2) && Line.compare(2, S, Sep) == 0 && Digits(Line, 2 + S, 2) &&
         Line.compare(4 + S, S, Sep) == 0 && Digits(Line, 4 + 2 * S, 2) &&
         Line.size() > 6 + 2 * S && Line[6 + 2 * S] == '.' && Digits(Line, 7 + 2 * S, 3) &&
         Line.size() > 10 + 2 * S && Line[10 + 2 * S] == ' ' && Number(Line, 0, 2) < 24 &&
         Number(Line, 2 + S, 2) < 60 && Number(Line, 4 + 2 * S, 2) < 60;
}

Platform::TDateTime At(uint16_t Y, uint16_t Mo, uint16_t D, uint16_t H, uint16_t Mi, uint16_t S,
                       uint16_t Ms) {
  Platform::TDateTime T;
  T.Year = Y, T.Month = Mo, T.Day = D, T.Hour = H, T.Minute = Mi, T.Second = S, T.Millisecond = Ms;
  return T;
}

Platform::TDateTime At(const std::string& Text) {
  unsigned F[7] = {};
  char End = '\0';
  if (std::sscanf(Text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u%c", &F[0], &F[1], &F[2], &F[3], &F[4], &F[5],
                  &F[6], &End) != 7) {
    ADD_FAILURE() << "not an instant: [" << Text << "]";
  }
  const auto U = [](unsigned V) { return static_cast<uint16_t>(V); };
  return At(U(F[0]), U(F[1]), U(F[2]), U(F[3]), U(F[4]), U(F[5]), U(F[6]));
}

int MillisecondsOfDay(const Platform::TDateTime& Time) {
  return ((Time.Hour * 60 + Time.Minute) * 60 + Time.Second) * 1000 + Time.Millisecond;
}

std::vector<TRecordedCall> ReadRecord(const std::string& Path) {
  std::vector<TRecordedCall> Calls;
  for (const std::string& Line : SplitLines(TestSupport::ReadFileBytes(Path))) {
    TRecordedCall Call;
    size_t At = 0;
    for (;;) {
      const size_t Tab = Line.find('\t', At);
      const std::string Field = Line.substr(At, Tab == std::string::npos ? std::string::npos : Tab - At);
      if (Call.Kind.empty()) {
        Call.Kind = Field;
      } else {
        Call.Fields.push_back(Field);
      }
      if (Tab == std::string::npos) break;
      At = Tab + 1;
    }
    if (Call.Kind == "M" && !Call.Fields.empty()) {
      const uint64_t Bits = std::stoull(Call.Fields[0], nullptr, 16);
      std::memcpy(&Call.Time, &Bits, sizeof(Bits));
      Call.Milliseconds = std::llround(Call.Time * 86400000.0);
    }
    Calls.push_back(std::move(Call));
  }
  return Calls;
}

std::string StandInLogClient(const std::string& BinDir, const std::string& Folder) {
  return BinDir + Folder + "\\LogClient.dll";
}

void RunOnThreads(int Count, const std::function<void(int)>& Body) {
  struct TContext {
    const std::function<void(int)>* Body;
    int Index;
  };
  std::vector<std::unique_ptr<Platform::TThread>> Threads;
  std::vector<TContext> Contexts(static_cast<size_t>(Count));
  for (int I = 0; I < Count; ++I) {
    Contexts[static_cast<size_t>(I)] = TContext{&Body, I};
    auto Thread = std::make_unique<Platform::TThread>();
    ASSERT_TRUE(Thread->Create(
        [](void* Context) {
          const auto* C = static_cast<TContext*>(Context);
          (*C->Body)(C->Index);
        },
        &Contexts[static_cast<size_t>(I)]));
    Threads.push_back(std::move(Thread));
  }
  for (auto& Thread : Threads) ASSERT_TRUE(Thread->Start());
  for (auto& Thread : Threads) ASSERT_TRUE(Thread->WaitForEnd());
}

const std::vector<TLineBreakText> LineBreakTexts = {
    {"Params=a\r\n12:00:00.000 forged", "Params=a\\r\\n12:00:00.000 forged"},
    {"\n", "\\n"},
    {std::string("zero\0byte\r", 10), "zero\\0byte\\r"},
    {"back\\slash stays", "back\\slash stays"},
    {"lone\rCR", "lone\\rCR"},
    {"lone\nLF", "lone\\nLF"},
    {std::string("lone\0NUL", 8), "lone\\0NUL"},
    {std::string("\r\n\0", 3), "\\r\\n\\0"},
};

}  // namespace LogTestSupport
