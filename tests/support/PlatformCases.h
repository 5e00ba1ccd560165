// The platform interface's case kind (tests/cases/README.md, "kind
// platform"): libraries, module names, paths, append files, directories,
// semaphores, events, last errors, system texts and text comparison, each
// step's result checked as it comes, on the backend the runner was built for.
// False when any check failed (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunPlatformCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
