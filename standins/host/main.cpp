// velmora-host: a stand-in for the automation host that loads a plug-in and
// drives it with a scenario (see HostUsageText for the command line).
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "standins/host/HostRunner.h"

int main(int argc, char** argv) {
  TStandardHostOutput Output;
  try {
    const std::vector<std::string> Arguments(argv + 1, argv + argc);
    return RunHost(Arguments, Output, std::cin);
  } catch (const std::exception& Error) {
    Output.ErrorLine(std::string("velmora-host: ") + Error.what());
    return HostExitUsage;
  }
}
