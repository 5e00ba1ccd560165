// TTaskHandler: the one worker thread of the relay. Any thread queues task
// records with AddTask; the worker hands them one at a time, in order, to
// OnTask, and calls OnIdle after IdleTimeout milliseconds without a record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/AdaptiveSpin.h"
#include "platform/Sync.h"
#include "relay/ThreadBase.h"
#include "relay/TaskRecord.h"

// First-in first-out list of record pointers in a ring that grows by
// doubling, so that appending and taking allocate nothing once the ring has
// reached the longest backlog seen. A ring grown beyond LargeSlots is given
// back when it runs empty (the queue falls back to no ring; the next append
// makes a SmallSlots one), so a burst's memory does not stay with the process,
// while any backlog up to LargeSlots stays allocation-free. Not thread-safe:
// its owner locks.
class TTaskQueue {
public:
  static constexpr size_t SmallSlots = 64;
  static constexpr size_t LargeSlots = 4096;

  bool Empty() const { return Count == 0; }
  size_t Size() const { return Count; }
  size_t Capacity() const { return Slots.size(); }
  // Appends at the end. Throws std::bad_alloc when the ring must grow and
  // cannot; the queue is then unchanged.
  void PushBack(TTaskRecord* Task);
  // Takes the front record out; null when empty. When that empties a ring
  // larger than LargeSlots, the ring is moved into Released (an empty
  // vector), so that the caller can free it after leaving its lock; without
  // Released the ring is freed here.
  TTaskRecord* PopFront(std::vector<TTaskRecord*>* Released = nullptr);
  // Takes the last record out again (undoes a PushBack); null when empty.
  TTaskRecord* PopBack();
  // Exchanges the contents (records and ring) with Other; allocates nothing.
  void Swap(TTaskQueue& Other) noexcept;

private:
  std::vector<TTaskRecord*> Slots;
  size_t Head = 0;   // index of the front record in Slots
  size_t Count = 0;  // records held
};

class TTaskHandler : public TThreadBase {
public:
  // The thread is created suspended, the queue empty, the handlers unbound.
  // Records may be added at once; they wait for Start.
  explicit TTaskHandler(uint32_t IdleTimeout);
  // Only after the owner has waited for the end of a started worker. Frees
  // any records still queued (ones added after the loop had ended, or to a
  // worker never started), so that no record outlives the handler.
  ~TTaskHandler() override;

  // Handlers, bound by the owner before Start and never changed after; from
  // then on only the worker reads them. OnTask processes one record (which
  // stays the worker's: it frees it after OnTask returns) and may set Stop
  // to end the loop; OnIdle runs after IdleTimeout ms without a record. An
  // empty handler is not called.
  std::function<void(TTaskRecord* Task, bool& Stop)> OnTask;
  std::function<void()> OnIdle;
  // Called, once the loop has ended, for each record still queued, in
  // order, before it is freed unprocessed (ClearTasks); on the worker, no
  // lock held. It must not throw: a failure is dropped, the record freed.
  std::function<void(TTaskRecord* Task)> OnDiscard;

  // Queues Task; from now on it belongs to the queue. Callable from any
  // thread, also from inside OnTask or OnIdle; blocks only for the brief hold
  // of QueueLock, and makes a kernel call (one release) only when the worker
  // waits. On failure (memory exhausted, the release refused, 2^31 - 1
  // records queued) it throws, the record stays the caller's and the
  // worker's state is as before.
  void AddTask(TTaskRecord* Task);

  // Ends the loop as a stop record queued now would, but without a record,
  // so it needs no memory: the owner's way to stop a worker whose stop record
  // could not be queued. Every record queued before the request still goes
  // to OnTask; then the loop ends. It is announced as a record would be and
  // wakes a waiting worker with one release; should that release fail, the
  // worker sees the request at the end of its current idle wait instead
  // (IdleTimeout at most), without calling OnIdle. Any thread; never throws.
  void RequestStop() noexcept;

  uint32_t IdleTimeout() const { return IdleTimeoutMs; }

  // Tests only, never set by the product: faults that AddTask and WaitFor
  // report as if the system had refused them, so that an owner's failure
  // paths can be driven. One setting for the process; change it only while
  // no worker is being fed or waited for.
  struct TTestFaults {
    // AddTask throws std::bad_alloc, before touching the queue, for each
    // record this returns true for; the record stays the caller's.
    bool (*RefuseTask)(const TTaskRecord* Task) = nullptr;
    // WaitFor throws "Thread Error" at once, whether or not the thread ended.
    bool FailWait = false;
  };
  static void SetTestFaults(const TTestFaults& Faults);

  // The thread class's wait (see TThreadBase), subject to the test faults.
  void WaitFor();

private:
  // The body: ProcessTask until Stop is set, RequestStop has ended the loop
  // or, after a ProcessTask, the terminated flag is seen; then ClearTasks. A
  // failure escaping OnTask or OnIdle ends the loop: the record in hand and
  // the queued ones are freed (ClearTasks), then the failure goes on to
  // become the fatal error.
  void Execute() override;
  // Takes one record (GetTask), hands it to OnTask, frees it (also when
  // OnTask fails). False, with nothing done, when GetTask found the loop
  // asked to end by RequestStop.
  bool ProcessTask(bool& Stop);
  // Waits for a record, calling OnIdle at each full IdleTimeout of silence;
  // the terminated flag is not looked at here. Null once RequestStop was
  // made and no record is left to take.
  TTaskRecord* GetTask();
  // Waits for a producer to meet the worker's open claim: Met once one has
  // (a record or the stop request is ready to take); Withdrawn when the
  // wait ended first and the claim was taken back, after an idle call when
  // it ended by a full time-out; Stopped when the time-out found RequestStop
  // made but its count not released.
  enum class TClaim { Met, Withdrawn, Stopped };
  TClaim AwaitClaim();
  // Frees, without calling OnTask, every record still queued (OnDiscard sees
  // each first). The loop has ended, so their counts no longer matter: the
  // queue is taken whole, at once, not count by count (a wait per record
  // would make a long backlog slow to discard).
  void ClearTasks();

  // Set once by the constructor; read by the worker.
  const uint32_t IdleTimeoutMs;
  // Records added and not yet taken: producers append, the worker takes from
  // the front. Guarded by QueueLock.
  TTaskQueue Queue;
  // Announced minus claimed: producers add one for each record they queue
  // (and RequestStop one for its request), the worker subtracts one before
  // each take. Subtracting from a positive value, the worker finds the front
  // record (or the request) ready and takes it without a kernel call; from
  // zero, it has left an open claim (the value is now -1) and waits on
  // QueueSemaphore. A producer that adds to a negative value meets the open
  // claim and releases the one count it needs. With one worker the value
  // never goes below -1. Producers change it only under QueueLock, so the
  // count and the queue change together; the worker changes it without the
  // lock. See GetTask for the time-out.
  std::atomic<int32_t> Pending{0};
  // Counts for the worker's open claim: released only by the producer that
  // met the claim, under QueueLock, so there is never more than one count,
  // and never a count no claim waits for.
  Platform::TSemaphore QueueSemaphore;
  // Guards Queue. Held only to append (and meet an open claim), to take the
  // front record, and during ClearTasks; never while waiting on
  // QueueSemaphore or while OnTask or OnIdle run, so a handler may call
  // AddTask itself.
  Platform::TCriticalSection QueueLock;
  // Set by RequestStop (any thread), read by the worker.
  std::atomic<bool> StopRequested{false};
  // The worker's alone: before it claims with nothing announced, it watches
  // Pending for a short while, so that a record that comes right after the
  // last one is taken without the cost of waking a sleeping thread. It rests
  // at every idle time-out, so an idle worker never spins.
  Platform::TAdaptiveSpin Spin{Platform::TAdaptiveSpin::DefaultLimitUs};
};
