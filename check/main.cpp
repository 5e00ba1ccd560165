// velmora-check: the operator's check of an installed plug-in (CheckRun.h).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "check/CheckRun.h"

int main(int argc, char** argv) {
  try {
    TCheckOptions Options;
    std::string Error;
    if (!ParseCheckOptions(std::vector<std::string>(argv + 1, argv + argc), Options, Error)) {
      std::fprintf(stderr, "velmora-check: %s\n%s", Error.c_str(), CheckUsageText().c_str());
      return CheckExitUsage;
    }
    if (Options.Help) {
      std::fputs(CheckUsageText().c_str(), stdout);
      return CheckExitOk;
    }
    return RunCheck(Options);
  } catch (const std::exception& Failure) {
    std::fprintf(stderr, "velmora-check: %s\n", Failure.what());
    return CheckExitUsage;
  }
}
