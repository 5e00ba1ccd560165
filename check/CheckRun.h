// velmora-check: loads an installed plug-in as a host does and says, one
// line per step, what works and what does not (see CheckUsageText).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit codes: the first step that failed.
constexpr int CheckExitOk = 0;
constexpr int CheckExitUsage = 1;
constexpr int CheckExitPlugin = 2;      // not loaded, an entry point missing
constexpr int CheckExitSettings = 3;    // settings file neither found nor created
constexpr int CheckExitTransport = 4;   // transport library missing or incomplete
constexpr int CheckExitConnection = 5;  // no connection within the wait
constexpr int CheckExitCommand = 6;     // the command got no answer within the wait

struct TCheckOptions {
  std::string PluginPath;  // empty: Velmora.dll beside the tool
  std::string Command;     // parameter list text; empty: none sent
  uint32_t WaitSeconds = 5;
  bool Help = false;  // --help: the usage text only
};

// Reads the arguments after the program name; false (Error says why) for a
// command line it cannot use.
bool ParseCheckOptions(const std::vector<std::string>& Arguments, TCheckOptions& Options,
                       std::string& Error);
std::string CheckUsageText();

// Runs every step, printing as it goes; returns the exit code. One run per
// process (the plug-in's callback reaches the run in progress).
int RunCheck(const TCheckOptions& Options);
