// tTimeSeparatedFileLog: per-line file-name derivation and the directory climb.
#include "log/TimeSeparatedFileLog.h"

#include "log/DateTimePattern.h"
#include "platform/Files.h"
#include "platform/TimeText.h"

tTimeSeparatedFileLog::tTimeSeparatedFileLog(const std::string& Pattern)
    : tFileLog(std::string()), FileNamePattern(Pattern), PatternFields(DateTimePatternFields(Pattern)) {}

std::string tTimeSeparatedFileLog::GetFileName() {
  return tTimeSeparatedFileLog::LineFile(false).Name;
}

tFileLog::TLineFile tTimeSeparatedFileLog::LineFile(bool MayTrustDirectory) {
  TLineFile Target;
  Target.Time = LocalNow();
  const Platform::TDateTime& Now = Target.Time;
  if (!Expanded || !SameDateTimeFields(Now, ExpansionTime, PatternFields)) {
    char Name[DateTimePatternLimit];
    Expansion.assign(Name, ExpandDateTimePatternTo(Name, FileNamePattern, Now, TimeSeparator));
    ExpansionTime = Now;
    Expanded = true;
  }
  FileName.clear();
  // The directory part: up to and including the last backslash or colon (a
  // plain backward scan; find_last_of searches its set once per byte).
  size_t DirectoryLength = Expansion.size();
  while (DirectoryLength > 0 && Expansion[DirectoryLength - 1] != '\\' &&
         Expansion[DirectoryLength - 1] != ':') {
    --DirectoryLength;
  }
  const std::string_view DirectoryText(Expansion.data(), DirectoryLength);
  bool Ready =
      MayTrustDirectory && !CheckedDirectory.empty() && DirectoryText == CheckedDirectory;
  if (!Ready) {
    CheckedDirectory.clear();
    const std::string Directory(DirectoryText);
    Ready = ForceDirectories(Directory);
    if (Ready) CheckedDirectory = Directory;
  }
  if (Ready) {
    FileName = Expansion;
    Target.Name = FileName;
    Target.DirectoryMadeSure = true;
  }
  return Target;
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
