// The host runner's book of commands sent and answers received: it matches
// each answer to an outstanding command of its session and counts what is
// missing, what came more than once and what came out of order.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Sync.h"

// What the book found, for the summary line and the exit code.
struct TAnswerCounts {
  uint64_t Sent = 0;         // commands handed to the plug-in
  uint64_t Expected = 0;     // answers waited for (one per non-empty command, or --expect)
  uint64_t Answered = 0;     // answers that matched an outstanding command
  uint64_t Missing = 0;      // Expected - Answered, never below 0
  uint64_t Duplicates = 0;   // answers that matched no outstanding command
  uint64_t OutOfOrder = 0;   // answers that came after a later command's answer
  uint64_t BadCallbacks = 0; // callbacks with a wrong plug-in name, user value or data

  TAnswerCounts& operator+=(const TAnswerCounts& Other);
};

// How one answer was taken.
enum class TAnswerVerdict { InOrder, OutOfOrder, Unmatched };

// An answer is matched by its session and its "UserData" value: it belongs
// to the earliest outstanding command of that session that carried the same
// "UserData". Commands of one session with the same "UserData" are therefore
// interchangeable; the runner makes them distinct (a sequence tag) whenever it
// sends a scenario more than once. An answer for a command sent earlier than
// one already answered on the same session is out of order; a command left
// unanswered in between is not (it may simply be missing).
//
// Sending threads call Expect, the plug-in's worker thread calls Answer, the
// main thread waits and reads the counts: every field is guarded by Lock.
class TAnswerBook {
public:
  // ExpectOverride >= 0 replaces the number of answers waited for.
  explicit TAnswerBook(int64_t ExpectOverride = -1);
  TAnswerBook(const TAnswerBook&) = delete;
  TAnswerBook& operator=(const TAnswerBook&) = delete;

  // Registers a command about to be handed over. Must come before the
  // Command_Plugin call, because the answer may arrive before the call returns.
  void Expect(int32_t Session, const std::string& UserData);
  // Registers a command that no answer is expected for (an empty list).
  void SentWithoutAnswer();
  // Takes one answer.
  TAnswerVerdict Answer(int32_t Session, const std::string& UserData);
  void BadCallback();

  // Called once every command is sent: from then on the book is complete
  // as soon as the expected number of answers has arrived.
  void FinishSending();
  // Waits until the book is complete or TimeoutMs passed without an answer
  // (counted from the last answer or from FinishSending, whichever is later),
  // and, when LimitMs is not 0, no longer than LimitMs in all. True when
  // complete. Wakes at once when the last answer arrives.
  bool WaitForAnswers(uint32_t TimeoutMs, uint32_t LimitMs = 0);

  TAnswerCounts Counts() const;
  // Round-trip times in microseconds (Command_Plugin call to answer) of every
  // matched answer, in arrival order, and the time from the first command to
  // the last matched answer.
  std::vector<uint32_t> Latencies() const;
  double ElapsedSeconds() const;

private:
  struct TPending {
    uint64_t Index;   // the command's position in its session
    int64_t SentNs;   // when it was handed over (steady clock)
  };
  struct TSession {
    std::unordered_map<std::string, std::deque<TPending>> Pending;  // by "UserData"
    uint64_t NextIndex = 0;
    int64_t HighestAnswered = -1;
  };

  mutable Platform::TCriticalSection Lock;
  Platform::TEvent Complete;  // set once sending is finished and every answer is in
  std::unordered_map<int32_t, TSession> Sessions;
  TAnswerCounts Totals;
  int64_t ExpectOverride;
  bool SendingFinished = false;
  uint64_t LastActivityMs = 0;  // Platform::TickCountMs of the last answer or FinishSending
  int64_t FirstSentNs = -1, LastAnsweredNs = -1;
  std::vector<uint32_t> LatencyUs;

  uint64_t Target() const;
  void CheckComplete();  // Lock held
};

// The p-th percentile (0..100) of Values by the nearest-rank rule; 0 when
// Values is empty. Values is sorted in place.
uint32_t Percentile(std::vector<uint32_t>& Values, double P);
