// The host runner: loads a plug-in, drives it through its four entry points
// with the commands of a scenario and checks the answers that come back
// through the callback.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "standins/host/HostOutput.h"

// Exit codes of the runner.
constexpr int HostExitOk = 0;
constexpr int HostExitUsage = 1;       // bad command line, scenario or plug-in library
constexpr int HostExitMissing = 2;     // some answers never came
constexpr int HostExitBadAnswers = 3;  // duplicates, out-of-order or malformed callbacks

// Thread t (from 0) sends on session t * HostSessionStride + the scenario's
// session, so every thread's answers can be counted and ordered on their own.
constexpr int32_t HostSessionStride = 1000000;

// The whole program: Arguments are those after the program name; the
// scenario is read from Input unless --scenario names a file. Returns the
// exit code. The plug-in's callback reaches the one run in progress, so only
// one RunHost may run at a time in a process.
int RunHost(const std::vector<std::string>& Arguments, THostOutput& Output, std::istream& Input);
