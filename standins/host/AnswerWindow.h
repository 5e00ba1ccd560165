// The host runner's window of unanswered commands (--in-flight N).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/AdaptiveSpin.h"
#include "platform/Sync.h"

// At most Size commands unanswered at a time, over every sending thread. A
// sender that finds the window full waits until it has drained to half
// before it sends again, as a host sending in batches would: the plug-in's
// worker then wakes a waiting sender once per Size / 2 answers rather than on
// every answer. A sender that finds no room within the time-out sends
// anyway in the place of one answer taken for lost, so a lost answer costs
// one time-out, not a hang (a late one widens the window by one). Before it
// waits, a sender spins briefly for room (as the plug-in's worker does before
// its own wait), so that the runner measures the plug-in's hand-offs rather
// than its own.
class TAnswerWindow {
public:
  explicit TAnswerWindow(uint32_t Size);
  // Before a command is booked: takes a place, waiting for room if needed;
  // Spin is the calling sender's own.
  void Take(uint32_t TimeoutMs, Platform::TAdaptiveSpin& Spin);
  // The same without a spin.
  void Take(uint32_t TimeoutMs) {
    Platform::TAdaptiveSpin None(0);
    Take(TimeoutMs, None);
  }
  // For each answer that matched a booked command: gives its place back.
  void Give();

private:
  const int64_t Size;
  const int64_t RefillAt;  // a full window reopens at this many unanswered
  Platform::TCriticalSection Lock;
  Platform::TSemaphore Room{0, 0x7FFFFFFF};  // one count per sender to wake
  int64_t Unanswered = 0;                    // this and Waiting: under Lock
  // Changed under Lock; read without it by a sender spinning for room.
  std::atomic<bool> Full{false};
  int32_t Waiting = 0;
};
