// Two case kinds of the relay's worker side (tests/cases/README.md): "kind
// worker" drives a TTaskHandler (records queued as words, handlers that queue,
// throw or send a window message, producer threads) and checks what its
// handlers saw; "kind outstanding" drives the table of requests awaiting
// answers. Each step's result is checked as it comes; false when any check
// failed (each printed).
#pragma once

#include <vector>

#include "tests/support/CaseScript.h"

namespace TestSupport {

bool RunWorkerCase(const std::vector<TCaseStep>& Steps);
bool RunOutstandingCase(const std::vector<TCaseStep>& Steps);

}  // namespace TestSupport
