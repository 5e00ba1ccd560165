// Where the host runner's lines go: standard output for answers and the
// summary, standard error for problems. Each line is written at once, whole,
// so a script can follow the run as it happens.
#pragma once

#include <string>

#include "platform/Sync.h"

// Lines come from the main thread, the sending threads and the plug-in's
// worker thread; an implementation must take them from any thread.
class THostOutput {
public:
  virtual ~THostOutput() = default;
  virtual void Line(const std::string& Text) = 0;       // Text without line end
  virtual void ErrorLine(const std::string& Text) = 0;  // likewise
};

// The process's standard output and error, unbuffered, LF line ends.
class TStandardHostOutput : public THostOutput {
public:
  void Line(const std::string& Text) override;
  void ErrorLine(const std::string& Text) override;

private:
  Platform::TCriticalSection Lock;  // keeps long lines from interleaving
};
