// tTimeSeparatedFileLog: per-line file-name derivation and the directory climb.
#include "log/TimeSeparatedFileLog.h"

#include "log/DateTimePattern.h"

tTimeSeparatedFileLog::tTimeSeparatedFileLog(const std::string& Pattern)
    : tFileLog(std::string()), FileNamePattern(Pattern) {}

std::string tTimeSeparatedFileLog::GetFileName() {
  const Platform::TDateTime Now = Platform::LocalNow();
  char Name[DateTimePatternLimit];
  const size_t Length = ExpandDateTimePatternTo(Name, FileNamePattern, Now, TimeSeparator);
  FileName.clear();
  NameTimeKnown = false;
  const std::string_view NameText(Name, Length);
  const size_t Delimiter = NameText.find_last_of("\\:");
  const std::string Directory(
      NameText.substr(0, Delimiter == std::string_view::npos ? 0 : Delimiter + 1));
  if (ForceDirectories(Directory)) {
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
