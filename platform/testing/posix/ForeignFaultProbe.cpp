// Foreign-code behaviours natively: no structured exceptions, no chain.
#include "platform/testing/ForeignFaultProbe.h"

#include <sched.h>

#include <cstdlib>

namespace Platform {

void RaiseStructuredException(uint32_t /*Code*/, bool /*Continuable*/) { std::abort(); }

void CallInOwnFrame(void (*Body)(void* Context), void* Context, TOwnFrameCounts& /*Counts*/) { Body(Context); }

uintptr_t ExceptionChainHead() { return 0; }

void SystemCallForComparison() { sched_yield(); }

}  // namespace Platform
