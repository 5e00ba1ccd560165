#include "standins/host/AnswerWindow.h"

#include "platform/Thread.h"

TAnswerWindow::TAnswerWindow(uint32_t Size)
    : Size(Size), RefillAt(Size > 1 ? static_cast<int64_t>(Size) / 2 : 0) {}

void TAnswerWindow::Take(uint32_t TimeoutMs, Platform::TAdaptiveSpin& Spin) {
  const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
  bool MaySpin = true;  // once, before the first wait
  for (;;) {
    {
      Platform::TLockGuard Guard(Lock);
      if (!Full) {
        Full = ++Unanswered >= Size;
        return;
      }
      if (!MaySpin) ++Waiting;
    }
    if (MaySpin) {
      // Watch for the window to reopen, then look again under the lock.
      MaySpin = false;
      Spin.SpinFor([this] { return !Full.load(std::memory_order_relaxed); });
      continue;
    }
    const uint64_t Now = Platform::TickCountMs();
    Spin.SleepBegins();
    const bool TimedOut = Now >= Deadline || Room.Wait(static_cast<uint32_t>(Deadline - Now)) !=
                                                 Platform::TWaitResult::Signaled;
    Spin.SleepEnds(!TimedOut);
    if (TimedOut) {
      // Unless Give counted this sender out already; a count it released
      // for a sender that timed out meanwhile only makes a later wait look
      // again. Still full: one unanswered command is taken for lost and this
      // one takes its place, so each lost answer costs one time-out, not one
      // on every command after it.
      Platform::TLockGuard Guard(Lock);
      if (Waiting > 0) --Waiting;
      if (!Full) Full = ++Unanswered >= Size;
      return;
    }
  }
}

void TAnswerWindow::Give() {
  Platform::TLockGuard Guard(Lock);
  if (Unanswered > 0) --Unanswered;
  if (Full && Unanswered <= RefillAt) {
    Full = false;
    if (Waiting > 0) Room.Release(Waiting);
    Waiting = 0;
  }
}
