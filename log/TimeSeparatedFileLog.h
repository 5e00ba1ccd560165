// tTimeSeparatedFileLog: a file log whose file name is derived afresh from a
// date-time pattern for every line, so the log splits by hour and day.
#pragma once

#include <string>

#include "log/FileLog.h"
#include "platform/TimeText.h"

class tTimeSeparatedFileLog : public tFileLog {
public:
  explicit tTimeSeparatedFileLog(const std::string& Pattern);

  // Expands the pattern against the local time now, makes sure the name's
  // directory exists (creating missing levels from the outermost inwards),
  // stores the name in FileName and returns it. FileName is empty when a
  // directory could not be created. A name without an absolute directory
  // whose first level is missing raises EInOutError("Unable to create
  // directory"). A direct call always asks the system about the directory.
  std::string GetFileName() override;

protected:
  // What GetFileName does, for the line being written: the name for the
  // local time now, that time (the line's stamp) and the directory made sure
  // of. When MayTrustDirectory is set and the name's directory is the one
  // made sure of for an earlier line, it is trusted without asking the
  // system again (one system call per line less); the write asks again,
  // untrusted, should the open find the path missing. The writes of this
  // class and its subclasses take their file from here, not from GetFileName.
  TLineFile LineFile(bool MayTrustDirectory) override;

  const std::string FileNamePattern;

private:
  // The fields of the date and time the pattern reads, and its latest
  // expansion with the time it was made for: while those fields stay the
  // same (for the process log, within the hour) the expansion is reused, as
  // it would give the same text. Guarded like FileName.
  const unsigned PatternFields;
  std::string Expansion;
  Platform::TDateTime ExpansionTime;
  bool Expanded = false;
  // The directory this log last made sure of; empty when the latest check
  // failed. Guarded like FileName.
  std::string CheckedDirectory;
};

// Makes sure Directory (Windows form, with or without a trailing "\") exists,
// creating each missing level from the outermost inwards. False when a level
// cannot be created; raises EInOutError when the climb reaches an empty text
// (a relative path whose first level is missing).
bool ForceDirectories(const std::string& Directory);
