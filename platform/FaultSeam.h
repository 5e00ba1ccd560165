// The fault and clock seam of the test builds: a test makes the Nth call of a
// platform operation fail with a chosen system error code (LastError then
// reports it), counts the calls of every operation, makes the Nth allocation
// of the plug-in's code throw std::bad_alloc, and sets the local time the
// platform reports (a fixed instant or an offset from the real clock).
//
// The product holds none of it. The backends reach the seam only through the
// macros of platform/FaultPoint.h, which are plain constants unless the file
// is compiled for the test build of the platform library
// (velmora_platform_seam, VELMORA_FAULT_SEAM defined); and the functions below
// are defined only in the test-only shared library velmora_fault_seam, which
// the test programs and the test build of the plug-in (bin/seam/) share, so
// that one state covers a plug-in's whole life from load to unload and is
// read after it. The test plugin_no_fault_seam checks the built product.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/TimeText.h"

namespace Platform {

// Every fallible operation of the platform layer that the seam can fail; a
// failed call behaves as the system's failure would (see each backend), with
// LastError the chosen code. Allocation is the test plug-in's operator new
// (all its forms), which throws std::bad_alloc instead.
enum class TFaultOperation : uint8_t {
  FileOpen,          // OpenForAppend
  FileSeek,          // SeekToEnd
  FileWrite,         // WriteToFile
  DirectoryCreate,   // CreateOneDirectory
  ProfileRead,       // ReadProfileString: the default comes back
  ProfileKeyExists,  // ProfileKeyExists: reads as no such key
  ProfileWrite,      // WriteProfileString
  LibraryLoad,       // LoadLibraryByName
  LibraryEntry,      // GetLibraryProc
  ModulePath,        // OwnModulePath, HostExePath: the empty text
  ThreadCreate,      // TThread::Create
  ThreadStart,       // TThread::Start
  ThreadWait,        // TThread::WaitForEnd
  SemaphoreCreate,   // TSemaphore's constructor throws
  SemaphoreRelease,  // TSemaphore::Release
  SemaphoreWait,     // TSemaphore::Wait gives Failed
  EventCreate,       // TEvent's constructor throws
  EventWait,         // TEvent::Wait gives Failed
  EventWaitEither,   // WaitForEither gives Failed
  Allocation,        // operator new of the test plug-in
};
constexpr size_t FaultOperationCount = static_cast<size_t>(TFaultOperation::Allocation) + 1;

// Calls the seam only counts, never fails: with the semaphore and event waits
// and releases above, every call that is a kernel transition on Windows (a
// wineserver round trip under Wine), counted the same way by both backends
// so that a count taken natively says what the Windows build pays.
enum class TCountedCall : uint8_t {
  ContendedEnter,  // TCriticalSection::Enter that found the section held by another thread
  EventSet,        // TEvent::Set
  EventReset,      // TEvent::Reset
};
constexpr size_t CountedCallCount = static_cast<size_t>(TCountedCall::EventReset) + 1;

namespace FaultSeam {

// "FileOpen", "FileSeek", ... as the enumerators are named; null beyond the last.
const char* OperationName(size_t Operation);

// Forgets every count, the armed fault and its record, the phase and the
// one-shot idle expiry; the clock runs real again.
void Reset();

// The Nth call (counting from 1) of Operation since the last Reset fails
// with Code as the system error, and so do the Times - 1 calls after it
// (UINT64_MAX: every call from the Nth on). Counting goes on; a second Arm
// replaces the first.
void Arm(TFaultOperation Operation, uint64_t Nth, uint32_t Code, uint64_t Times = 1);
void Disarm();
// Calls of Operation counted since the last Reset.
uint64_t Calls(TFaultOperation Operation);
// Calls of Call counted since the last Reset; its name as the enumerator's
// (null beyond the last).
uint64_t Counted(TCountedCall Call);
const char* CountedCallName(size_t Call);
// The seam's side of a counting point: safe on any thread, lock-free.
void Count(TCountedCall Call) noexcept;
// Whether the armed fault has been met, and the phase (SetPhase) it was met in.
bool Fired();
int32_t FiredPhase();
// A number the test gives the step it is running; kept with the fault.
void SetPhase(int32_t Phase);

// The seam's side of a fault point: counts the call and tells whether it
// fails, and with which code. Safe on any thread; takes no lock and never
// allocates (it runs inside operator new).
bool Fails(TFaultOperation Operation, uint32_t& Code) noexcept;

// The clock. Fixed: the first reading gives Instant, each later one StepMs
// more (0: always Instant). Offset: the real local time plus OffsetMs. Real:
// the system's clock (after Reset).
void SetClockFixed(const TDateTime& Instant, uint32_t StepMs = 0);
void SetClockOffset(int64_t OffsetMs);
void SetClockReal();
// What LocalNow reports, given the system's local time Real.
TDateTime Clock(const TDateTime& Real) noexcept;
// Time plus Milliseconds (negative goes back) on the proleptic Gregorian
// calendar; the seam's own arithmetic, exposed for the tests.
TDateTime AddMilliseconds(const TDateTime& Time, int64_t Milliseconds) noexcept;

// The worker's idle wait, shortened on request: the semaphore wait in
// progress or the next one with a finite, non-zero time-out ends as timed
// out (once), so a test gets one keep-alive without waiting out the idle
// period. TakeIdleExpiry answers (and consumes) the request.
void ExpireIdleWait();
bool TakeIdleExpiry() noexcept;

// The waits on either of two events (a send waiting for its connection),
// while On: each looks at the events as they are and, neither set, ends as
// timed out at once. For a step in which the test knows that no notice can
// come, where such a wait would only wait out its bound. Reset turns it off.
void SetEitherWaitsExpire(bool On);
bool EitherWaitsExpire() noexcept;

}  // namespace FaultSeam
}  // namespace Platform
