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

tFileLog::TLineFile tFileLog::LineFile(bool) {
  TLineFile Target;
  Target.Name = GetFileName();
  Target.Time = LocalNow();
  return Target;
}

Platform::TDateTime tFileLog::LocalNow() { return Platform::LocalNow(); }

bool tFileLog::Write(const std::string& Text) { return WriteLine(Text, nullptr, true); }

bool tFileLog::WriteTagged(const std::string& Text, const std::string& Tag) {
  return WriteLine(Text, &Tag, true);
}

bool tFileLog::WriteRaw(const std::string& Text) { return WriteLine(Text, nullptr, false); }

bool tFileLog::WriteRawTagged(const std::string& Text, const std::string& Tag) {
  return WriteLine(Text, &Tag, false);
}

tFileLog::TLineFile tFileLog::TaggedLineFile(const std::string* Tag, bool MayTrustDirectory) {
  TLineFile Target = LineFile(MayTrustDirectory);
  // No name means no file: a tagged write does not fall back to a bare
  // "Tag_" name in the current directory.
  if (!Target.Name.empty() && Tag != nullptr && !Tag->empty()) {
    Target.Name = Platform::DirectoryPart(Target.Name) + *Tag + "_" +
                  Platform::FileNamePart(Target.Name);
  }
  return Target;
}

bool tFileLog::WriteLine(const std::string& Text, const std::string* Tag, bool Stamped) {
  // The guard leaves the lock on every way out, including a failure raised
  // by LineFile, which passes on to the caller.
  Platform::TLockGuard Guard(Lock);
  TLineFile Target = TaggedLineFile(Tag, true);
  if (Target.Name.empty()) return false;
  Platform::TFile File = Platform::OpenForAppend(Target.Name);
  if (File == Platform::InvalidFile && Target.DirectoryMadeSure &&
      Platform::LastError() == Platform::ErrorPathNotFound) {
    // The directory made sure of has gone: check and make it again.
    Target = TaggedLineFile(Tag, false);
    if (Target.Name.empty()) return false;
    File = Platform::OpenForAppend(Target.Name);
  }
  if (File == Platform::InvalidFile) return false;
  bool Result = false;
  if (Platform::SeekToEnd(File)) {
    char Line[LineBufferSize];
    const size_t Length =
        ComposeLine(Line, Text, Stamped ? &Target.Time : nullptr, TimeSeparator);
    Result = Platform::WriteToFile(File, Line, static_cast<uint32_t>(Length));
  }
  Platform::CloseFile(File);
  return Result;
}
