// The process log: the plug-in's one log object and the call Log through
// which every other part writes a diagnostic line.
#pragma once

#include <string>

#include "log/ProcessNames.h"

// Writes one line (time stamp, Text, CR LF) through the process log. Usable
// from any thread between library load and unload; never raises. True when
// a log object existed and its write returned without raising (whether or
// not the line reached the file); false otherwise. A CR, LF or zero byte in
// Text is written as the two characters \r, \n or \0, so a text can never
// start or split a line of the file.
bool Log(const std::string& Text);

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
