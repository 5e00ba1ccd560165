// The floors the plug-in's figures are compared with: the least work any
// implementation of the same contract must do on this machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Bench {

// Per-call nanoseconds of the hand-off floor: a 137-byte allocation, a
// 128-byte copy, enter/leave a critical section around a queue push and a
// semaphore release, while a consumer thread drains and frees. Threads
// callers share one queue, Calls calls each.
std::vector<double> HandOffFloorNs(int Threads, int Calls);

// Round trips per second when each costs three open/seek/write/close
// appends of LineBytes to a log file in Folder (Windows form, ends in "\").
double AppendFloorPerSecond(const std::string& Folder, int RoundTrips, size_t LineBytes);

}  // namespace Bench
