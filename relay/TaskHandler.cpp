// The worker thread's queue and loop.
#include "relay/TaskHandler.h"

#include <atomic>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/Errors.h"
#include "platform/Thread.h"

// ------------------------------------------------------------------ TTaskQueue

void TTaskQueue::PushBack(TTaskRecord* Task) {
  if (Count == Slots.size()) {
    // Grow into a new ring, front first; the old ring stays intact until the
    // new one exists, so a failed allocation changes nothing.
    std::vector<TTaskRecord*> Grown(Slots.empty() ? SmallSlots : Slots.size() * 2);
    for (size_t i = 0; i < Count; ++i) Grown[i] = Slots[(Head + i) % Slots.size()];
    Slots.swap(Grown);
    Head = 0;
  }
  Slots[(Head + Count) % Slots.size()] = Task;
  ++Count;
}

TTaskRecord* TTaskQueue::PopFront(std::vector<TTaskRecord*>* Released) {
  if (Count == 0) return nullptr;
  TTaskRecord* Task = Slots[Head];
  Head = (Head + 1) % Slots.size();
  --Count;
  if (Count == 0 && Slots.size() > LargeSlots) {
    // The burst is over: give its ring back. A swap moves the block without
    // freeing it, so the caller decides where that happens.
    std::vector<TTaskRecord*> Spare;
    Spare.swap(Slots);
    if (Released != nullptr) Released->swap(Spare);
    Head = 0;
  }
  return Task;
}

TTaskRecord* TTaskQueue::PopBack() {
  if (Count == 0) return nullptr;
  --Count;
  return Slots[(Head + Count) % Slots.size()];
}

void TTaskQueue::Swap(TTaskQueue& Other) noexcept {
  Slots.swap(Other.Slots);
  std::swap(Head, Other.Head);
  std::swap(Count, Other.Count);
}

// ---------------------------------------------------------------- TTaskHandler

namespace {

struct TRecordRelease {
  void operator()(TTaskRecord* Task) const { FreeTaskRecord(Task); }
};
using TRecordInHand = std::unique_ptr<TTaskRecord, TRecordRelease>;

// ERROR_TOO_MANY_POSTS: the count of announced records is at its maximum.
constexpr uint32_t TooManyPosts = 298;
// After a wait the system refused, the worker pauses this long before it
// looks at its queue again: a wait that keeps failing would otherwise turn
// the worker into a busy loop in the host's process. Records queued meanwhile
// are taken after the pause without a wait.
constexpr uint32_t FailedWaitPauseMs = 10;

// The test faults, read once per AddTask and WaitFor.
std::atomic<bool (*)(const TTaskRecord*)> RefuseTaskForTests{nullptr};
std::atomic<bool> FailWaitForTests{false};

}  // namespace

void TTaskHandler::SetTestFaults(const TTestFaults& Faults) {
  RefuseTaskForTests.store(Faults.RefuseTask);
  FailWaitForTests.store(Faults.FailWait);
}

TTaskHandler::TTaskHandler(uint32_t IdleTimeout)
    : TThreadBase(true), IdleTimeoutMs(IdleTimeout), QueueSemaphore(0, 0x7FFFFFFF) {}

TTaskHandler::~TTaskHandler() {
  while (TTaskRecord* Task = Queue.PopFront()) FreeTaskRecord(Task);
}

void TTaskHandler::AddTask(TTaskRecord* Task) {
  if (auto Refuse = RefuseTaskForTests.load(std::memory_order_relaxed)) {
    if (Refuse(Task)) throw std::bad_alloc();
  }
  Platform::TLockGuard Guard(QueueLock);
  if (Pending.load(std::memory_order_relaxed) == std::numeric_limits<int32_t>::max()) {
    // 2^31 - 1 records announced: refused as a full semaphore refuses a
    // release.
    throw std::runtime_error("Task queue error: " + Platform::TrimmedSystemText(TooManyPosts));
  }
  Queue.PushBack(Task);
  // Announce it; only a waiting worker (an open claim) costs a release.
  if (Pending.fetch_add(1, std::memory_order_acq_rel) < 0 && !QueueSemaphore.Release(1)) {
    // No count for it: take back the announcement and the record, so the
    // claim is open again as before and the caller keeps the record. The
    // lock keeps every other producer out meanwhile; a worker whose wait
    // ends now waits on for the count, then withdraws (see AwaitClaim).
    const uint32_t Error = Platform::LastError();
    Pending.fetch_sub(1, std::memory_order_acq_rel);
    Queue.PopBack();
    throw std::runtime_error("Task queue error: " + Platform::TrimmedSystemText(Error));
  }
}

void TTaskHandler::RequestStop() noexcept {
  StopRequested.store(true);
  // Announced like a record, without one. Should the release fail, the
  // announcement stays: the worker's time-out finds the request.
  Platform::TLockGuard Guard(QueueLock);
  if (Pending.fetch_add(1, std::memory_order_acq_rel) < 0) QueueSemaphore.Release(1);
}

void TTaskHandler::WaitFor() {
  if (FailWaitForTests.load(std::memory_order_relaxed)) {
    // As a wait on a handle the system refused (ERROR_INVALID_HANDLE).
    throw std::runtime_error("Thread Error: " + Platform::TrimmedSystemText(6) + " (6)");
  }
  TThreadBase::WaitFor();
}

void TTaskHandler::Execute() {
  bool Stop = false;
  try {
    while (ProcessTask(Stop) && !Terminated() && !Stop) {
    }
  } catch (...) {
    ClearTasks();
    throw;
  }
  ClearTasks();
}

bool TTaskHandler::ProcessTask(bool& Stop) {
  TRecordInHand Task(GetTask());
  if (Task == nullptr) return false;  // RequestStop: nothing left before it
  if (OnTask) OnTask(Task.get(), Stop);
  return true;
}

// The memory orders. Every change of Pending is a read-modify-write, so the
// changes have one order and each sees the one before it; acq_rel on each
// makes what a thread did before its change visible to the thread whose
// change comes next. What each step relies on:
//
// | step                             | relies on                                       |
// |----------------------------------|-------------------------------------------------|
// | producer: append, then announce  | both under QueueLock: no take can find an       |
// |                                  | announced record missing                        |
// | worker claims from > 0, takes    | it saw an announcement made under QueueLock;    |
// | the front under QueueLock        | its own enter comes after that holder's leave,  |
// |                                  | so the record is in Queue                       |
// | worker claims from 0 (to -1),    | a producer's add that follows sees -1 and       |
// | waits                            | releases: the count cannot be missed            |
// | worker's wait ends, claim        | the CAS from -1 and a producer's add from -1    |
// | withdrawn (CAS -1 -> 0)          | exclude each other: exactly one of them wins,   |
// |                                  | so a count is released only if the claim stays  |
// | producer's release fails         | it subtracts its add again under QueueLock: no  |
// |                                  | other producer can have added in between        |
// | RequestStop: flag, then announce | the worker reads the flag after the claim its   |
// |                                  | announcement met (acquire), so it sees it set   |
// | a wait refused while the claim   | the count stays in the semaphore; a later claim |
// | was met: taken without the count | it meets finds no record, and no producer has   |
// |                                  | met that claim (Pending still holds it): the    |
// |                                  | worker waits on it again, without a new claim   |
TTaskRecord* TTaskHandler::GetTask() {
  // Nothing announced: watch for an announcement before claiming (reads
  // only; the claim below is the same whatever the spin saw).
  if (Pending.load(std::memory_order_relaxed) <= 0) {
    Spin.SpinFor([this] { return Pending.load(std::memory_order_relaxed) > 0; });
  }
  bool Waiting = Pending.fetch_sub(1, std::memory_order_acq_rel) <= 0;
  for (;;) {
    if (Waiting) {
      switch (AwaitClaim()) {
        case TClaim::Met: break;
        case TClaim::Withdrawn:
          Waiting = Pending.fetch_sub(1, std::memory_order_acq_rel) <= 0;
          continue;
        case TClaim::Stopped: return nullptr;
      }
    }
    TTaskRecord* Task;
    // A ring given back by the queue is freed here, after the lock is left,
    // so producers never wait for that release.
    std::vector<TTaskRecord*> Released;
    {
      Platform::TLockGuard Guard(QueueLock);
      Task = Queue.PopFront(&Released);
    }
    if (Task != nullptr) return Task;
    // An announcement without a record: RequestStop's, made after every
    // record queued before it, all of which are taken by now.
    if (StopRequested.load()) return nullptr;
    // A claim met without a record: by a count left in the semaphore by a
    // claim taken without its count (a wait the system refused, see
    // AwaitClaim), or taken so itself while its producer, whose release
    // failed, took its record back. Either way no producer has met this
    // claim: it is still open, so wait on it again.
    Waiting = true;
  }
}

TTaskHandler::TClaim TTaskHandler::AwaitClaim() {
  Spin.SleepBegins();
  Platform::TWaitResult Result = QueueSemaphore.Wait(IdleTimeoutMs);
  Spin.SleepEnds(Result == Platform::TWaitResult::Signaled);
  // A full idle time-out: the work is sparse, spinning would not pay.
  if (Result == Platform::TWaitResult::Timeout) Spin.Rest();
  for (;;) {
    if (Result == Platform::TWaitResult::Signaled) return TClaim::Met;
    // Timed out or failed: withdraw the claim, unless a producer met it
    // while the wait was ending.
    int32_t Seen = Pending.load(std::memory_order_acquire);
    while (Seen < 0 && !Pending.compare_exchange_weak(Seen, Seen + 1, std::memory_order_acq_rel,
                                                      std::memory_order_acquire)) {
    }
    if (Seen < 0) {
      if (Result == Platform::TWaitResult::Timeout) {
        // RequestStop whose count could not be released.
        if (StopRequested.load()) return TClaim::Stopped;
        if (OnIdle) OnIdle();
      } else {
        Platform::SleepMs(FailedWaitPauseMs);
      }
      return TClaim::Withdrawn;
    }
    // Met just as the wait ended: a record is ready, and its producer
    // releases the count under QueueLock right after. That count is taken
    // here, so that no count is left over to meet a later claim that no
    // producer met; a producer whose release fails takes its announcement
    // back, and the next time-out withdraws the claim. Once a stop is
    // requested the loop ends at the first take that finds Queue empty,
    // so a count left over then no longer matters: the record is taken at
    // once (the request's own failed release leaves no count to wait for).
    if (StopRequested.load()) return TClaim::Met;
    if (Result == Platform::TWaitResult::Failed) {
      // The system refused the wait: the record is taken without its count,
      // which stays in the semaphore (GetTask knows such a count), after a
      // pause, so that a wait that keeps failing is not a busy loop.
      Platform::SleepMs(FailedWaitPauseMs);
      return TClaim::Met;
    }
    Result = QueueSemaphore.Wait(IdleTimeoutMs);
  }
}

void TTaskHandler::ClearTasks() {
  TTaskQueue Left;
  {
    Platform::TLockGuard Guard(QueueLock);
    Left.Swap(Queue);
  }
  while (TTaskRecord* Task = Left.PopFront()) {
    TRecordInHand Held(Task);
    if (!OnDiscard) continue;
    try {
      OnDiscard(Task);
    } catch (...) {
      // Dropped: the record is freed all the same.
    }
  }
}
