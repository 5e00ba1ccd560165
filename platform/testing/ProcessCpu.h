// CPU time the process has used: the price side of a measurement (a spin
// that buys speed costs processor time), never a decision of the product.
#pragma once

#include <cstdint>

namespace Platform {

// User plus system time of every thread of the process so far, in
// microseconds, as the system accounts it; 0 when it cannot tell.
uint64_t ProcessCpuMicroseconds();

}  // namespace Platform
