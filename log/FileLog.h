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
  // Where the line being written goes, as LineFile answers it.
  struct TLineFile {
    // The file; empty means there is nothing to write to.
    std::string Name;
    // The local time the line is written for, read once, no earlier than
    // the name was derived: a stamped line carries it, so that its stamp
    // agrees with the file it lands in.
    Platform::TDateTime Time{};
    // True when the log made sure that Name's directory exists, for this
    // line or (trusted since) for an earlier one. When the open then finds
    // the path missing, the directory has gone meanwhile: the write asks once
    // more with MayTrustDirectory false, which makes it again.
    bool DirectoryMadeSure = false;
  };
  // Every write asks this, with Lock held, once (twice when the directory
  // has gone, see above) before it opens the file. MayTrustDirectory false
  // forbids answering from what an earlier line learned about the directory.
  // tFileLog answers GetFileName() (through the virtual table) with the time
  // read after it, and no directory made sure of.
  virtual TLineFile LineFile(bool MayTrustDirectory);

  // The local date and time now: the one place the log family reads the clock.
  static Platform::TDateTime LocalNow();

  // The current file path; empty means there is nothing to write to. Changed
  // only under Lock while a write runs (or by a direct GetFileName call,
  // which takes no lock and must not race with writes).
  std::string FileName;
  // The regional time separator, read once at construction.
  const std::string TimeSeparator;

private:
  bool WriteLine(const std::string& Text, const std::string* Tag, bool Stamped);
  // The file a line goes to: LineFile's answer with Tag applied to its name.
  TLineFile TaggedLineFile(const std::string* Tag, bool MayTrustDirectory);
};
