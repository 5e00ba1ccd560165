// "kind log" (tests/cases/README.md): the log's file writers, the process log
// and the clock seam they read, in a scratch folder that is also the current
// directory. Each step's result is checked as it comes; false when any check
// failed (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunLogCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
