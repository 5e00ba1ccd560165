// The process log: the plug-in's one log object and the call Log through
// which every other part writes a diagnostic line.
#pragma once

#include <exception>
#include <string>
#include <type_traits>

#include "log/ProcessNames.h"

// Writes one line (time stamp, Text, CR LF) through the process log. Usable
// from any thread between library load and unload; never raises. True when
// a log object existed and its write returned without raising (whether or
// not the line reached the file); false otherwise. A CR, LF or zero byte in
// Text is written as the two characters \r, \n or \0, so a text can never
// start or split a line of the file.
bool Log(const std::string& Text);
// The same for a fixed text: the line is built inside, so that a line that
// cannot even be built (memory exhausted) is lost like one that cannot be
// written, and the caller never sees the failure. (A text built by the caller
// is built before Log is entered: callers that must not fail guard that.)
bool Log(const char* Text) noexcept;

namespace ProcessLogDetail {
// Logs Prefix (a text, or a callable returning one) + Message; never raises.
template <typename TPrefix>
void LogStepFailure(const TPrefix& Prefix, const char* Message) noexcept {
  if (Message == nullptr) Message = "unknown failure";
  try {
    if constexpr (std::is_invocable_v<const TPrefix&>) {
      Log(Prefix() + Message);
    } else {
      Log(std::string(Prefix) + Message);
    }
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
}
}  // namespace ProcessLogDetail

// Runs Step() and contains whatever it raises: a failure ends as one log line,
// Prefix followed by the failure's message (what() of a std::exception,
// "unknown failure" for anything else). Prefix is a text, or a callable that
// returns one, called only on failure (a step that succeeds builds no text).
// Never raises. True when Step returned normally.
template <typename TPrefix, typename TStep>
bool RunLoggingFailure(const TPrefix& Prefix, TStep&& Step) noexcept {
  try {
    Step();
    return true;
  } catch (const std::exception& Failure) {
    ProcessLogDetail::LogStepFailure(Prefix, Failure.what());
  } catch (...) {
    ProcessLogDetail::LogStepFailure(Prefix, "unknown failure");
  }
  return false;
}

// Creates the process log (once; later calls do nothing while it exists):
// hourly files <host directory>Logs\YYYY_MM_DD\HH_<plug-in file name>.log,
// and the log server when the host's settings file asks for it. Any failure
// leaves the plug-in without a log, silently. Runs at library load time.
void InitProcessLog();
// Destroys the process log (finalising the log-server client library);
// failures are discarded. Runs at library unload time; no Log may run then.
void DoneProcessLog();

// The host settings file's [Debug] value under the plug-in's file name;
// empty when the file, section or key is missing.
std::string ReadLogServerSetting();
// Full path of the plug-in library (the module holding this code); empty
// when the system cannot tell.
std::string OwnModulePath();

// The parts InitProcessLog is made of, usable on their own:
// the file-name pattern for a host directory (ending in "\", or empty) and
// the plug-in's file name;
std::string ProcessLogPattern(const std::string& HostDirectory, const std::string& PluginFileName);
// the host settings file for a host executable path (its extension replaced
// by ".ini", or ".ini" appended when it has none);
std::string HostSettingsPath(const std::string& HostExePath);
// the creation of the process log object itself, when none exists.
void CreateProcessLog(const std::string& Pattern, const std::string& LogServerSetting);
