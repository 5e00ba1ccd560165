// tTimeSeparatedFileLog: per-line file-name derivation and the directory climb.
#include "log/TimeSeparatedFileLog.h"

#include "log/DateTimePattern.h"

tTimeSeparatedFileLog::tTimeSeparatedFileLog(const std::string& Pattern)
    : tFileLog(std::string()), FileNamePattern(Pattern) {}

std::string tTimeSeparatedFileLog::GetFileName() {
  // Only the write that set it may skip the directory check; a direct call
  // (and a failure below) never leaves it set.
  const bool Trust = TrustCheckedDirectory;
  TrustCheckedDirectory = false;
  const Platform::TDateTime Now = Platform::LocalNow();
  char Name[DateTimePatternLimit];
  const size_t Length = ExpandDateTimePatternTo(Name, FileNamePattern, Now, TimeSeparator);
  FileName.clear();
  NameTimeKnown = false;
  const std::string_view NameText(Name, Length);
  // The directory part: up to and including the last "\\" or ":" (a plain
  // backward scan; find_last_of searches its set once per byte).
  size_t DirectoryLength = Length;
  while (DirectoryLength > 0 && Name[DirectoryLength - 1] != '\\' && Name[DirectoryLength - 1] != ':') {
    --DirectoryLength;
  }
  const std::string_view DirectoryText = NameText.substr(0, DirectoryLength);
  bool Ready = Trust && !CheckedDirectory.empty() && DirectoryText == CheckedDirectory;
  if (!Ready) {
    CheckedDirectory.clear();
    const std::string Directory(DirectoryText);
    Ready = ForceDirectories(Directory);
    if (Ready) CheckedDirectory = Directory;
  }
  if (Ready) {
    FileName.assign(Name, Length);
    NameTime = Now;
    NameTimeKnown = true;
  }
  return FileName;
}

bool ForceDirectories(const std::string& Directory) {
  if (Directory.empty()) throw EInOutError("Unable to create directory");
  std::string Path = Directory;
  if (Path.back() == '\\') Path.pop_back();
  if (Path.size() < 3 || Platform::DirectoryExists(Path) || Platform::DirectoryPart(Path) == Path) {
    return true;
  }
  if (!ForceDirectories(Platform::DirectoryPart(Path))) return false;
  // Another process (or another log object) may have made it meanwhile: a
  // directory that exists after a failed creation is as good as a new one.
  return Platform::CreateOneDirectory(Path) || Platform::DirectoryExists(Path);
}
