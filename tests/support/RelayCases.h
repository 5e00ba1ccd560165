// The relay manager's case kind (tests/cases/README.md, "kind relay"): one
// TMailerManager in this process with the case's limits, a host callback the
// case holds or slows, and the transport double as its server. Each step's
// result is checked as it comes, the log transcript after the last step;
// false when any check failed (each printed), or when the host was called
// after a release that freed the manager.
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunRelayCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
