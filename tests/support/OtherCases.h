// The two smaller case kinds (tests/cases/README.md): "kind host" runs the
// host runner (velmora-host's RunHost) against a fake plug-in, "kind
// profile" drives the platform's profile-file functions in a scratch folder.
// Each step's result is checked as it comes; false when any check failed
// (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunHostCase(const std::vector<TCaseStep>& Steps);
bool RunProfileCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
