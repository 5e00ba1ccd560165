// Matching answers to commands, and the counts of the summary line.
#include "standins/host/AnswerBook.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/Thread.h"

namespace {
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

TAnswerCounts& TAnswerCounts::operator+=(const TAnswerCounts& Other) {
  Sent += Other.Sent;
  Expected += Other.Expected;
  Answered += Other.Answered;
  Missing += Other.Missing;
  Duplicates += Other.Duplicates;
  OutOfOrder += Other.OutOfOrder;
  BadCallbacks += Other.BadCallbacks;
  return *this;
}

TAnswerBook::TAnswerBook(int64_t ExpectOverride) : ExpectOverride(ExpectOverride) {
  LastActivityMs = Platform::TickCountMs();
}

uint64_t TAnswerBook::Target() const {
  return ExpectOverride >= 0 ? static_cast<uint64_t>(ExpectOverride) : Totals.Expected;
}

void TAnswerBook::CheckComplete() {
  if (SendingFinished && Totals.Answered >= Target()) Complete.Set();
}

void TAnswerBook::Expect(int32_t Session, const std::string& UserData) {
  const int64_t Now = NowNs();
  Platform::TLockGuard Guard(Lock);
  TSession& Record = Sessions[Session];
  Record.Pending[UserData].push_back(TPending{Record.NextIndex++, Now});
  ++Totals.Sent;
  ++Totals.Expected;
  if (FirstSentNs < 0) FirstSentNs = Now;
}

void TAnswerBook::SentWithoutAnswer() {
  Platform::TLockGuard Guard(Lock);
  ++Totals.Sent;
}

TAnswerVerdict TAnswerBook::Answer(int32_t Session, const std::string& UserData) {
  const int64_t Now = NowNs();
  Platform::TLockGuard Guard(Lock);
  LastActivityMs = Platform::TickCountMs();
  TAnswerVerdict Verdict = TAnswerVerdict::Unmatched;
  const auto Found = Sessions.find(Session);
  if (Found != Sessions.end()) {
    TSession& Record = Found->second;
    const auto Waiting = Record.Pending.find(UserData);
    if (Waiting != Record.Pending.end()) {
      const TPending Command = Waiting->second.front();
      Waiting->second.pop_front();
      if (Waiting->second.empty()) Record.Pending.erase(Waiting);
      ++Totals.Answered;
      if (static_cast<int64_t>(Command.Index) < Record.HighestAnswered) {
        ++Totals.OutOfOrder;
        Verdict = TAnswerVerdict::OutOfOrder;
      } else {
        Record.HighestAnswered = static_cast<int64_t>(Command.Index);
        Verdict = TAnswerVerdict::InOrder;
      }
      const int64_t Us = (Now - Command.SentNs) / 1000;
      LatencyUs.push_back(static_cast<uint32_t>(std::clamp<int64_t>(Us, 0, UINT32_MAX)));
      LastAnsweredNs = Now;
    }
  }
  if (Verdict == TAnswerVerdict::Unmatched) ++Totals.Duplicates;
  CheckComplete();
  return Verdict;
}

void TAnswerBook::BadCallback() {
  Platform::TLockGuard Guard(Lock);
  ++Totals.BadCallbacks;
}

void TAnswerBook::FinishSending() {
  Platform::TLockGuard Guard(Lock);
  SendingFinished = true;
  LastActivityMs = Platform::TickCountMs();
  CheckComplete();
}

bool TAnswerBook::WaitForAnswers(uint32_t TimeoutMs, uint32_t LimitMs) {
  const uint64_t Limit = LimitMs == 0 ? UINT64_MAX : Platform::TickCountMs() + LimitMs;
  for (;;) {
    if (Complete.IsSet()) return true;
    uint64_t Deadline;
    {
      Platform::TLockGuard Guard(Lock);
      Deadline = std::min(LastActivityMs + TimeoutMs, Limit);
    }
    const uint64_t Now = Platform::TickCountMs();
    if (Now >= Deadline) return Complete.IsSet();
    // Wake at least every 100 ms to see whether an answer moved the deadline.
    const uint64_t Slice = std::min<uint64_t>(Deadline - Now, 100);
    Complete.Wait(static_cast<uint32_t>(Slice));
  }
}

TAnswerCounts TAnswerBook::Counts() const {
  Platform::TLockGuard Guard(Lock);
  TAnswerCounts Result = Totals;
  Result.Expected = Target();
  Result.Missing = Result.Expected > Result.Answered ? Result.Expected - Result.Answered : 0;
  return Result;
}

std::vector<uint32_t> TAnswerBook::Latencies() const {
  Platform::TLockGuard Guard(Lock);
  return LatencyUs;
}

double TAnswerBook::ElapsedSeconds() const {
  Platform::TLockGuard Guard(Lock);
  if (FirstSentNs < 0 || LastAnsweredNs < FirstSentNs) return 0.0;
  return static_cast<double>(LastAnsweredNs - FirstSentNs) / 1e9;
}

uint32_t Percentile(std::vector<uint32_t>& Values, double P) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const double Rank = std::ceil(P / 100.0 * static_cast<double>(Values.size()));
  const size_t Index = Rank < 1.0 ? 0 : static_cast<size_t>(Rank) - 1;
  return Values[std::min(Index, Values.size() - 1)];
}
