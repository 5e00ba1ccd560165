// "kind fileserver" (tests/cases/README.md): the stand-in file server
// in-process on a loopback port over a scratch root, and its clients. Each
// step's result is checked as it comes; false when any check failed (each
// printed). Built where the file server is: natively only.
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunFileServerCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
