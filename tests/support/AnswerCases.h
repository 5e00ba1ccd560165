// "kind answers" (tests/cases/README.md): the host runner's parts on their
// own, its answer book and answer window, its scenario reader and its
// command line. Each step's result is checked as it comes; false when any
// check failed (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunAnswerCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
