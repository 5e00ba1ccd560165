// The transport client's case kind (tests/cases/README.md, "kind client"):
// one TTPKTClient against the transport double, its owner thread the case's
// own. Each step's result is checked as it comes; false when any check
// failed (each printed), or when a handler ran on the owner's thread or was
// given another sender.
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunClientCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
