// The worker thread's queue and loop.
#include "relay/TaskHandler.h"

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/Errors.h"

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
  Queue.PushBack(Task);
  if (!QueueSemaphore.Release(1)) {
    // No count for it: take it back so the worker never sees it and the
    // caller keeps it.
    Queue.PopBack();
    throw std::runtime_error("Task queue error: " + Platform::TrimmedSystemText(Platform::LastError()));
  }
}

void TTaskHandler::RequestStop() noexcept {
  StopRequested.store(true);
  QueueSemaphore.Release(1);  // a failure leaves the idle wait to notice
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

TTaskRecord* TTaskHandler::GetTask() {
  for (;;) {
    switch (QueueSemaphore.Wait(IdleTimeoutMs)) {
      case Platform::TWaitResult::Signaled: {
        TTaskRecord* Task;
        // A ring given back by the queue is freed here, after the lock is
        // left, so producers never wait for that release.
        std::vector<TTaskRecord*> Released;
        {
          Platform::TLockGuard Guard(QueueLock);
          Task = Queue.PopFront(&Released);
        }
        if (Task != nullptr) return Task;
        // A count without a record: RequestStop's, released after every
        // record queued before it, all of which are taken by now.
        if (StopRequested.load()) return nullptr;
        break;
      }
      case Platform::TWaitResult::Timeout:
        // RequestStop whose count could not be released.
        if (StopRequested.load()) return nullptr;
        if (OnIdle) OnIdle();
        break;
      case Platform::TWaitResult::Failed:
        break;
    }
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
