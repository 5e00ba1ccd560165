// The file log family's root and its plain writer: tCustomLog owns the lock,
// tFileLog appends one line per write to a named file (optionally a tagged
// side file), opening and closing the file for every line.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "platform/Sync.h"
#include "platform/TimeText.h"

// An input/output failure of the log (a directory that cannot be made for a
// name without an absolute directory). Raised to the caller of the write.
class EInOutError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Size of the line buffer: a line on disk is at most LineBufferSize - 1 bytes.
constexpr size_t LineBufferSize = 8192;

class tCustomLog {
public:
  tCustomLog() = default;
  tCustomLog(const tCustomLog&) = delete;
  tCustomLog& operator=(const tCustomLog&) = delete;

  virtual bool Write(const std::string& Text) = 0;
  virtual ~tCustomLog() = default;

protected:
  // Serialises the writes of this object: file-name derivation, directory
  // creation, open, append and close all happen while it is held.
  Platform::TCriticalSection Lock;
};

class tFileLog : public tCustomLog {
public:
  // An empty FileName gives a log that writes nothing (every write is false).
  explicit tFileLog(const std::string& FileName);
  ~tFileLog() override;

  // Writes return true only when the line was handed to the system. A line is
  // "HH:NN:SS.ZZZ " + Text + CR LF (the raw writes leave the stamp out); the
  // text is written byte for byte, zero bytes included. A line that would be
  // longer than LineBufferSize - 1 bytes has its text cut so that it still
  // ends in CR LF. A tagged write with a non-empty Tag goes to the file whose
  // name is Tag + "_" + the current file's name, in the same directory.
  bool Write(const std::string& Text) override;
  virtual std::string GetFileName();
  virtual bool WriteTagged(const std::string& Text, const std::string& Tag);
  virtual bool WriteRaw(const std::string& Text);
  virtual bool WriteRawTagged(const std::string& Text, const std::string& Tag);

protected:
  // The current file path; empty means there is nothing to write to. Changed
  // only under Lock while a write runs (or by a direct GetFileName call,
  // which takes no lock and must not race with writes).
  std::string FileName;
  // Set by a GetFileName that derived the name from the clock: the local
  // time it used, so that a line's stamp agrees with the file it lands in
  // and the clock is read once per line. Guarded like FileName.
  bool NameTimeKnown = false;
  Platform::TDateTime NameTime;
  // The regional time separator, read once at construction.
  const std::string TimeSeparator;
  // The directory a time-separated log last made sure of, and whether the
  // GetFileName now called by a write may trust it without asking the system
  // again (set by the write, taken back by GetFileName as it starts). A write
  // whose open then finds the path missing forgets it and derives the name
  // once more, so a directory deleted meanwhile is made again by the next
  // line, as without this shortcut. Guarded like FileName; a plain tFileLog
  // leaves CheckedDirectory empty.
  std::string CheckedDirectory;
  bool TrustCheckedDirectory = false;

private:
  bool WriteLine(const std::string& Text, const std::string* Tag, bool Stamped);
  // The file this line goes to: GetFileName (trusting CheckedDirectory when
  // Trust is set), with Tag applied; empty when there is none.
  std::string LineFileName(const std::string* Tag, bool Trust);
};
