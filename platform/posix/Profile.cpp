// Private-profile files for the posix backend: GetPrivateProfileStringA and
// WritePrivateProfileStringA emulated on a line model of the file, so that a
// write changes one line or adds one and keeps every other byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/FaultPoint.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/TimeText.h"
#include "platform/posix/PosixSupport.h"

namespace Platform {

namespace {

// Profile reads and writes of the whole process are serialised, as the system
// serialises them, so a read never sees a half-written file of this process.
std::mutex ProfileLock;

constexpr size_t ValueBufferChars = 2048;

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n' || C == '\v' || C == '\f'; }

std::string Trim(const std::string& Text) {
  size_t First = 0;
  size_t Last = Text.size();
  while (First < Last && IsBlank(Text[First])) ++First;
  while (Last > First && IsBlank(Text[Last - 1])) --Last;
  return Text.substr(First, Last - First);
}

// One line of the file with its own line end (empty for a last line without).
struct TLine {
  std::string Text;
  std::string End;
};

std::vector<TLine> SplitLines(const std::string& Content) {
  std::vector<TLine> Lines;
  size_t At = 0;
  while (At < Content.size()) {
    const size_t Lf = Content.find('\n', At);
    if (Lf == std::string::npos) {
      Lines.push_back({Content.substr(At), std::string()});
      break;
    }
    size_t TextEnd = Lf;
    if (TextEnd > At && Content[TextEnd - 1] == '\r') --TextEnd;
    Lines.push_back({Content.substr(At, TextEnd - At), Content.substr(TextEnd, Lf + 1 - TextEnd)});
    At = Lf + 1;
  }
  return Lines;
}

// The section name of a "[Name]" line, or nothing for any other line.
std::optional<std::string> SectionOf(const std::string& Line) {
  const std::string Text = Trim(Line);
  if (Text.empty() || Text[0] != '[') return std::nullopt;
  const size_t Close = Text.find_last_of(']');
  if (Close == std::string::npos) return std::nullopt;
  return Trim(Text.substr(1, Close - 1));
}

// Key and raw (trimmed, quotes kept) value of a "Key=Value" line; nothing for
// comments, blank lines and lines without "=".
struct TEntry {
  std::string Key;
  std::string Value;
};
std::optional<TEntry> EntryOf(const std::string& Line) {
  const std::string Text = Trim(Line);
  if (Text.empty() || Text[0] == ';') return std::nullopt;
  const size_t Equals = Text.find('=');
  if (Equals == std::string::npos) return std::nullopt;
  return TEntry{Trim(Text.substr(0, Equals)), Trim(Text.substr(Equals + 1))};
}

// Where Section and Key sit in Lines: the section's header line, the last
// entry line of the section and the key's line (npos when absent).
struct TPlace {
  size_t SectionLine = std::string::npos;
  size_t LastEntryLine = std::string::npos;
  size_t KeyLine = std::string::npos;
};
TPlace Locate(const std::vector<TLine>& Lines, const std::string& Section, const std::string& Key) {
  TPlace Place;
  bool Inside = false;
  for (size_t I = 0; I < Lines.size(); ++I) {
    if (const auto Name = SectionOf(Lines[I].Text)) {
      if (Place.SectionLine != std::string::npos) break;  // the first matching section counts
      Inside = SameTextNoCase(*Name, Section);
      if (Inside) Place.SectionLine = Place.LastEntryLine = I;
      continue;
    }
    if (!Inside) continue;
    if (const auto Entry = EntryOf(Lines[I].Text)) {
      Place.LastEntryLine = I;
      if (Place.KeyLine == std::string::npos && SameTextNoCase(Entry->Key, Key)) Place.KeyLine = I;
    } else if (!Trim(Lines[I].Text).empty()) {
      Place.LastEntryLine = I;  // a comment inside the section stays inside it
    }
  }
  return Place;
}

// A descriptor closed when the object goes, also when a failure (memory for
// the content) leaves the function that opened it.
class TDescriptor {
public:
  explicit TDescriptor(int Fd) : Fd(Fd) {}
  ~TDescriptor() {
    if (Fd >= 0) close(Fd);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return Fd; }

private:
  const int Fd;
};

// Whole content of a native file; false (LastError set) when it cannot be read.
bool ReadWholeFile(const std::string& NativePath, std::string& Content) {
  const TDescriptor File(open(NativePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (File.Get() < 0) {
    const int Errno = errno;
    if (Errno == ENOENT) {
      SetLastError(ErrorFileNotFound);
    } else {
      Posix::SetLastErrorFromErrno(Errno, ErrorAccessDenied);
    }
    return false;
  }
  Content.clear();
  char Buffer[8192];
  for (;;) {
    const ssize_t Got = read(File.Get(), Buffer, sizeof Buffer);
    if (Got < 0 && errno == EINTR) continue;
    if (Got < 0) {
      Posix::SetLastErrorFromErrno(errno, ErrorAccessDenied);
      return false;
    }
    if (Got == 0) break;
    Content.append(Buffer, static_cast<size_t>(Got));
  }
  return true;
}

bool WriteAll(int Fd, const std::string& Content) {
  size_t Done = 0;
  while (Done < Content.size()) {
    const ssize_t Put = write(Fd, Content.data() + Done, Content.size() - Done);
    if (Put < 0 && errno == EINTR) continue;
    if (Put <= 0) return false;
    Done += static_cast<size_t>(Put);
  }
  return true;
}

// Replaces the file's content: written to a temporary file beside it and
// renamed over it, so a reader sees the old or the new file, never a part.
// Falls back to rewriting in place when the directory refuses new files.
bool ReplaceWholeFile(const std::string& NativePath, const std::string& Content) {
  struct stat Old {};
  const bool Existed = stat(NativePath.c_str(), &Old) == 0;
  std::string Temporary = NativePath + ".XXXXXX";
  const int TempFd = mkostemp(Temporary.data(), O_CLOEXEC);
  if (TempFd >= 0) {
    const mode_t Mode = Existed ? (Old.st_mode & 07777) : 0644;
    const bool Written = fchmod(TempFd, Mode) == 0 && WriteAll(TempFd, Content);
    const int WriteErrno = errno;
    if (close(TempFd) == 0 && Written && rename(Temporary.c_str(), NativePath.c_str()) == 0) {
      return true;
    }
    const int Errno = Written ? errno : WriteErrno;
    unlink(Temporary.c_str());
    Posix::SetLastErrorFromErrno(Errno, ErrorAccessDenied);
    return false;
  }
  if (errno != EACCES && errno != EPERM && errno != EROFS) {
    Posix::SetLastErrorFromErrno(errno, ErrorAccessDenied);
    return false;
  }
  const int Fd = open(NativePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) {
    Posix::SetLastErrorFromErrno(errno, ErrorAccessDenied);
    return false;
  }
  const bool Written = WriteAll(Fd, Content);
  const int Errno = errno;
  if (close(Fd) != 0 || !Written) {
    Posix::SetLastErrorFromErrno(Written ? errno : Errno, ErrorAccessDenied);
    return false;
  }
  return true;
}

// The value as the profile reader delivers it: one pair of enclosing quotes
// removed, at most the buffer's size less one character.
std::string Delivered(const std::string& Raw) {
  std::string Value = Raw;
  if (Value.size() >= 2 && (Value[0] == '"' || Value[0] == '\'') && Value.back() == Value[0]) {
    Value = Value.substr(1, Value.size() - 2);
  }
  if (Value.size() > ValueBufferChars - 1) Value.resize(ValueBufferChars - 1);
  return Value;
}

std::optional<std::string> FindRawValue(const std::string& FileName, const std::string& Section,
                                        const std::string& Key) {
  std::string Content;
  if (!ReadWholeFile(ToNativePath(FileName), Content)) return std::nullopt;
  const std::vector<TLine> Lines = SplitLines(Content);
  const TPlace Place = Locate(Lines, Section, Key);
  if (Place.KeyLine == std::string::npos) {
    SetLastError(ErrorFileNotFound);
    return std::nullopt;
  }
  return EntryOf(Lines[Place.KeyLine].Text)->Value;
}

}  // namespace

std::string ReadProfileString(const std::string& FileName, const std::string& Section,
                              const std::string& Key, const std::string& Default) {
  if (VELMORA_FAULT(ProfileRead)) return Default.substr(0, std::min(Default.size(), ValueBufferChars - 1));
  std::lock_guard<std::mutex> Guard(ProfileLock);
  const auto Raw = FindRawValue(FileName, Section, Key);
  if (!Raw) return Default.substr(0, std::min(Default.size(), ValueBufferChars - 1));
  SetLastError(0);
  return Delivered(*Raw);
}

bool ProfileKeyExists(const std::string& FileName, const std::string& Section,
                      const std::string& Key) {
  if (VELMORA_FAULT(ProfileKeyExists)) return false;
  std::lock_guard<std::mutex> Guard(ProfileLock);
  return FindRawValue(FileName, Section, Key).has_value();
}

bool WriteProfileString(const std::string& FileName, const std::string& Section,
                        const std::string& Key, const std::string& Value) {
  if (VELMORA_FAULT(ProfileWrite)) return false;
  std::lock_guard<std::mutex> Guard(ProfileLock);
  const std::string Native = ToNativePath(FileName);
  std::string Content;
  if (!ReadWholeFile(Native, Content)) {
    if (LastError() != ErrorFileNotFound) return false;
    Content.clear();  // a missing file is created
  }
  std::vector<TLine> Lines = SplitLines(Content);
  const TPlace Place = Locate(Lines, Section, Key);
  const std::string NewLineEnd = "\r\n";
  if (Place.KeyLine != std::string::npos) {
    TLine& Line = Lines[Place.KeyLine];
    Line.Text = EntryOf(Line.Text)->Key + "=" + Value;  // the stored key name is kept
  } else if (Place.SectionLine != std::string::npos) {
    TLine& After = Lines[Place.LastEntryLine];
    if (After.End.empty()) After.End = NewLineEnd;
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(Place.LastEntryLine) + 1,
                 TLine{Key + "=" + Value, NewLineEnd});
  } else {
    if (!Lines.empty() && Lines.back().End.empty()) Lines.back().End = NewLineEnd;
    if (!Lines.empty() && !Trim(Lines.back().Text).empty()) Lines.push_back({"", NewLineEnd});
    Lines.push_back({"[" + Section + "]", NewLineEnd});
    Lines.push_back({Key + "=" + Value, NewLineEnd});
  }
  std::string NewContent;
  NewContent.reserve(Content.size() + Key.size() + Value.size() + Section.size() + 8);
  for (const TLine& Line : Lines) NewContent += Line.Text + Line.End;
  if (!ReplaceWholeFile(Native, NewContent)) return false;
  SetLastError(0);
  return true;
}

}  // namespace Platform
