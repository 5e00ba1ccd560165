// Reading scenario lines.
#include "standins/host/Scenario.h"

#include <stdexcept>

#include "params/IntegerText.h"

namespace {
bool IsBlank(char C) { return static_cast<unsigned char>(C) >= 1 && static_cast<unsigned char>(C) <= 32; }
}  // namespace

std::vector<TScenarioCommand> ReadScenario(std::istream& In) {
  std::vector<TScenarioCommand> Commands;
  std::string Text;
  int LineNumber = 0;
  while (std::getline(In, Text)) {
    ++LineNumber;
    if (!Text.empty() && Text.back() == '\r') Text.pop_back();
    size_t At = 0;
    while (At < Text.size() && IsBlank(Text[At])) ++At;
    if (At == Text.size() || Text[At] == '#') continue;
    size_t End = At;
    while (End < Text.size() && !IsBlank(Text[End])) ++End;
    TScenarioCommand Command;
    Command.Line = LineNumber;
    const std::string SessionText = Text.substr(At, End - At);
    if (!TryIntegerText(SessionText, Command.Session)) {
      throw std::runtime_error("scenario line " + std::to_string(LineNumber) +
                               ": session number expected, found \"" + SessionText + "\"");
    }
    Command.Params.ParamsFromText(std::string_view(Text).substr(End));
    Commands.push_back(std::move(Command));
  }
  return Commands;
}
