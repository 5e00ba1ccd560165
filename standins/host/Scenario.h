// The host runner's scenario: the commands to send, read from text with one
// command a line.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "params/ParamList.h"

// One command of the scenario.
struct TScenarioCommand {
  int32_t Session = 0;
  TParamList Params;
  int Line = 0;  // where it stood, for messages
};

// Reads a scenario: each line is a session number (integer text), blank(s),
// then the parameter list in its text form; the list may be missing (an empty
// command). Blank lines and lines whose first non-blank character is '#' are
// skipped; a CR before the line end is ignored. Throws std::runtime_error
// naming the line when a session number is not an integer.
std::vector<TScenarioCommand> ReadScenario(std::istream& In);
