// The state of the fault and clock seam (platform/FaultSeam.h): counters, the
// armed fault and the clock, in the test-only shared library that the test
// programs and the test build of the plug-in share. Lock-free and
// allocation-free on the paths the fault points take, since one of them is
// operator new.
#include <atomic>

#include "platform/FaultSeam.h"

namespace Platform::FaultSeam {

namespace {

constexpr int32_t NoOperation = -1;

const char* const Names[FaultOperationCount] = {
    "FileOpen",        "FileSeek",         "FileWrite",        "DirectoryCreate", "ProfileRead",
    "ProfileKeyExists", "ProfileWrite",    "LibraryLoad",      "LibraryEntry",    "ModulePath",
    "ThreadCreate",    "ThreadStart",      "ThreadWait",       "SemaphoreCreate", "SemaphoreRelease",
    "SemaphoreWait",   "EventCreate",      "EventWait",        "EventWaitEither", "Allocation",
};

std::atomic<uint64_t> Counts[FaultOperationCount];
const char* const CountedNames[CountedCallCount] = {"ContendedEnter", "EventSet", "EventReset"};
std::atomic<uint64_t> CountedCalls[CountedCallCount];

// The armed fault. Arm and Disarm mostly run between a test's runs, but may
// run while the plug-in does: Arm stores the operation last, and Fails reads
// it first.
std::atomic<int32_t> ArmedOperation{NoOperation};
std::atomic<uint64_t> ArmedNth{0};
std::atomic<uint64_t> ArmedTimes{1};
std::atomic<uint32_t> ArmedCode{0};
std::atomic<bool> HasFired{false};
std::atomic<int32_t> CurrentPhase{0};
std::atomic<int32_t> PhaseFired{0};

enum TClockMode : int32_t { ClockReal, ClockFixed, ClockOffset };
std::atomic<int32_t> Mode{ClockReal};
std::atomic<int64_t> FixedStart{0};  // milliseconds since 0000-03-01 (see Serial)
std::atomic<uint32_t> FixedStep{0};
std::atomic<uint64_t> Readings{0};
std::atomic<int64_t> Offset{0};

std::atomic<bool> IdleExpiry{false};
std::atomic<bool> EitherExpiry{false};

constexpr int64_t MillisecondsPerDay = 86400000;

// Days from 0000-03-01 of a civil date (proleptic Gregorian), and back.
int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned YearOfEra = static_cast<unsigned>(Y - Era * 400);
  const unsigned DayOfYear = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
  return Era * 146097 + static_cast<int64_t>(DayOfEra);
}

void CivilFromDays(int64_t Days, int64_t& Y, unsigned& M, unsigned& D) {
  const int64_t Era = (Days >= 0 ? Days : Days - 146096) / 146097;
  const unsigned DayOfEra = static_cast<unsigned>(Days - Era * 146097);
  const unsigned YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
  const unsigned DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
  const unsigned MonthIndex = (5 * DayOfYear + 2) / 153;
  D = DayOfYear - (153 * MonthIndex + 2) / 5 + 1;
  M = MonthIndex < 10 ? MonthIndex + 3 : MonthIndex - 9;
  Y = static_cast<int64_t>(YearOfEra) + Era * 400 + (M <= 2);
}

int64_t Serial(const TDateTime& Time) {
  const int64_t OfDay =
      ((Time.Hour * 60LL + Time.Minute) * 60 + Time.Second) * 1000 + Time.Millisecond;
  return DaysFromCivil(Time.Year, Time.Month, Time.Day) * MillisecondsPerDay + OfDay;
}

TDateTime FromSerial(int64_t Milliseconds) {
  int64_t Days = Milliseconds / MillisecondsPerDay;
  int64_t OfDay = Milliseconds % MillisecondsPerDay;
  if (OfDay < 0) {
    OfDay += MillisecondsPerDay;
    --Days;
  }
  int64_t Y = 0;
  unsigned M = 0, D = 0;
  CivilFromDays(Days, Y, M, D);
  TDateTime Time;
  Time.Year = static_cast<uint16_t>(Y);
  Time.Month = static_cast<uint16_t>(M);
  Time.Day = static_cast<uint16_t>(D);
  Time.Hour = static_cast<uint16_t>(OfDay / 3600000);
  Time.Minute = static_cast<uint16_t>(OfDay / 60000 % 60);
  Time.Second = static_cast<uint16_t>(OfDay / 1000 % 60);
  Time.Millisecond = static_cast<uint16_t>(OfDay % 1000);
  return Time;
}

}  // namespace

const char* OperationName(size_t Operation) {
  return Operation < FaultOperationCount ? Names[Operation] : nullptr;
}

void Reset() {
  Disarm();
  for (std::atomic<uint64_t>& Count : Counts) Count.store(0);
  for (std::atomic<uint64_t>& Count : CountedCalls) Count.store(0);
  CurrentPhase.store(0);
  IdleExpiry.store(false);
  EitherExpiry.store(false);
  SetClockReal();
}

void Arm(TFaultOperation Operation, uint64_t Nth, uint32_t Code, uint64_t Times) {
  ArmedOperation.store(NoOperation);
  HasFired.store(false);
  PhaseFired.store(0);
  ArmedNth.store(Nth);
  ArmedTimes.store(Times);
  ArmedCode.store(Code);
  ArmedOperation.store(static_cast<int32_t>(Operation));
}

void Disarm() {
  ArmedOperation.store(NoOperation);
  HasFired.store(false);
  PhaseFired.store(0);
}

uint64_t Calls(TFaultOperation Operation) {
  return Counts[static_cast<size_t>(Operation)].load();
}

uint64_t Counted(TCountedCall Call) { return CountedCalls[static_cast<size_t>(Call)].load(); }

const char* CountedCallName(size_t Call) {
  return Call < CountedCallCount ? CountedNames[Call] : nullptr;
}

void Count(TCountedCall Call) noexcept {
  CountedCalls[static_cast<size_t>(Call)].fetch_add(1, std::memory_order_relaxed);
}

bool Fired() { return HasFired.load(); }

int32_t FiredPhase() { return PhaseFired.load(); }

void SetPhase(int32_t Phase) { CurrentPhase.store(Phase); }

bool Fails(TFaultOperation Operation, uint32_t& Code) noexcept {
  const size_t Index = static_cast<size_t>(Operation);
  const uint64_t Call = Counts[Index].fetch_add(1) + 1;
  if (ArmedOperation.load() != static_cast<int32_t>(Index)) return false;
  // Read after the operation, which Arm stores last: a thread that sees it
  // armed sees the Nth and Times stored with it.
  const uint64_t First = ArmedNth.load();
  if (Call < First || Call - First >= ArmedTimes.load()) return false;
  // Each call number comes once, so the first failing call records the phase.
  if (Call == First) PhaseFired.store(CurrentPhase.load());
  HasFired.store(true);
  Code = ArmedCode.load();
  return true;
}

void SetClockFixed(const TDateTime& Instant, uint32_t StepMs) {
  Mode.store(ClockReal);
  FixedStart.store(Serial(Instant));
  FixedStep.store(StepMs);
  Readings.store(0);
  Mode.store(ClockFixed);
}

void SetClockOffset(int64_t OffsetMs) {
  Mode.store(ClockReal);
  Offset.store(OffsetMs);
  Mode.store(ClockOffset);
}

void SetClockReal() { Mode.store(ClockReal); }

TDateTime Clock(const TDateTime& Real) noexcept {
  switch (Mode.load()) {
    case ClockFixed: {
      const uint64_t Reading = Readings.fetch_add(1);
      return FromSerial(FixedStart.load() + static_cast<int64_t>(Reading * FixedStep.load()));
    }
    case ClockOffset:
      return FromSerial(Serial(Real) + Offset.load());
    default:
      return Real;
  }
}

TDateTime AddMilliseconds(const TDateTime& Time, int64_t Milliseconds) noexcept {
  return FromSerial(Serial(Time) + Milliseconds);
}

void ExpireIdleWait() { IdleExpiry.store(true); }

bool TakeIdleExpiry() noexcept { return IdleExpiry.exchange(false); }

void SetEitherWaitsExpire(bool On) { EitherExpiry.store(On); }

bool EitherWaitsExpire() noexcept { return EitherExpiry.load(); }

}  // namespace Platform::FaultSeam
