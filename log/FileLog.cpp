// tFileLog: one open, position, write and close per line, under the lock.
#include "log/FileLog.h"

#include <cstring>

#include "log/DateTimePattern.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace {

constexpr size_t MaxLineBytes = LineBufferSize - 1;

// Composes the line into Line (LineBufferSize bytes) and returns its length:
// stamp (when Stamp is given), as much of Text as fits, and always CR LF.
size_t ComposeLine(char* Line, const std::string& Text, const Platform::TDateTime* Stamp,
                   std::string_view TimeSeparator) {
  size_t Length = 0;
  if (Stamp != nullptr) {
    Length = PutLogTimeStamp(Line, *Stamp, TimeSeparator);  // "HH:NN:SS.ZZZ "
  }
  const size_t Room = MaxLineBytes - 2 - Length;
  const size_t TextBytes = Text.size() < Room ? Text.size() : Room;
  std::memcpy(Line + Length, Text.data(), TextBytes);
  Length += TextBytes;
  Line[Length++] = '\r';
  Line[Length++] = '\n';
  return Length;
}

}  // namespace

tFileLog::tFileLog(const std::string& FileName)
    : FileName(FileName), TimeSeparator(Platform::TimeSeparator()) {}

tFileLog::~tFileLog() = default;

std::string tFileLog::GetFileName() { return FileName; }

bool tFileLog::Write(const std::string& Text) { return WriteLine(Text, nullptr, true); }

bool tFileLog::WriteTagged(const std::string& Text, const std::string& Tag) {
  return WriteLine(Text, &Tag, true);
}

bool tFileLog::WriteRaw(const std::string& Text) { return WriteLine(Text, nullptr, false); }

bool tFileLog::WriteRawTagged(const std::string& Text, const std::string& Tag) {
  return WriteLine(Text, &Tag, false);
}

std::string tFileLog::LineFileName(const std::string* Tag, bool Trust) {
  NameTimeKnown = false;
  TrustCheckedDirectory = Trust;
  std::string Name = GetFileName();
  TrustCheckedDirectory = false;
  // No name means no file: a tagged write does not fall back to a bare
  // "Tag_" name in the current directory.
  if (!Name.empty() && Tag != nullptr && !Tag->empty()) {
    Name = Platform::DirectoryPart(Name) + *Tag + "_" + Platform::FileNamePart(Name);
  }
  return Name;
}

bool tFileLog::WriteLine(const std::string& Text, const std::string* Tag, bool Stamped) {
  // The guard leaves the lock on every way out, including a failure raised
  // by GetFileName, which passes on to the caller.
  Platform::TLockGuard Guard(Lock);
  std::string Name = LineFileName(Tag, true);
  if (Name.empty()) return false;
  Platform::TFile File = Platform::OpenForAppend(Name);
  if (File == Platform::InvalidFile && !CheckedDirectory.empty() &&
      Platform::LastError() == Platform::ErrorPathNotFound) {
    // The directory trusted above has gone: check and make it again.
    CheckedDirectory.clear();
    Name = LineFileName(Tag, false);
    if (Name.empty()) return false;
    File = Platform::OpenForAppend(Name);
  }
  if (File == Platform::InvalidFile) return false;
  bool Result = false;
  if (Platform::SeekToEnd(File)) {
    Platform::TDateTime Now;
    if (Stamped) Now = NameTimeKnown ? NameTime : Platform::LocalNow();
    char Line[LineBufferSize];
    const size_t Length = ComposeLine(Line, Text, Stamped ? &Now : nullptr, TimeSeparator);
    Result = Platform::WriteToFile(File, Line, static_cast<uint32_t>(Length));
  }
  Platform::CloseFile(File);
  return Result;
}
