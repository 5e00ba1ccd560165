// "kind tcp" (tests/cases/README.md): the TCP transport library
// "cl_vexo_transport.dll" from bin/tcp against loopback peers that the case
// plays itself. Each step's result is checked as it comes; false when any
// check failed (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunTcpCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
