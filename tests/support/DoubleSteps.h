// The transport double's steps as the case kinds that drive it write them
// (tests/cases/README.md): its script and its notices.
#pragma once

#include <string>

#include "tests/support/TransportDouble.h"

namespace TestSupport {

// double auto-disconnect [off] | auto-echo | result ENTRY CODE [LASTERROR] |
// fault ENTRY COUNT | late-notices all|KINDS MS | rewrite-termid ID.
// Throws std::runtime_error at an unknown or refused setting.
void ScriptDouble(TTransportDouble& Double, std::string Rest);

// notice connect | disconnect | receive BYTES | aux BYTES | flood N BYTES |
// stream AFTERMS BYTES | end-strays: whether the double delivered it. Throws
// std::runtime_error at an unknown notice.
bool FireNotice(TTransportDouble& Double, std::string Rest);

}  // namespace TestSupport
