// The table of requests awaiting their answers: send order, per-session
// chains for matching answers, and giving up on loss, at the cap or at stop.
#include "relay/OutstandingRequests.h"

#include <algorithm>

TOutstandingRequests::TOutstandingRequests(size_t Capacity) : Limit(std::max<size_t>(Capacity, 1)) {}

void TOutstandingRequests::Sent(int32_t SessionACT, uint32_t Generation, const TDropped& Dropped) {
  // Reserve the session's chain first, so that a failing allocation changes
  // nothing that was kept before.
  const auto [Chain, Fresh] = Sessions.try_emplace(SessionACT, TChain{NoNext, NoNext});
  try {
    Entries.push_back(TEntry{SessionACT, Generation, false, NoNext});
  } catch (...) {
    if (Fresh) Sessions.erase(Chain);
    throw;
  }
  Peak = std::max(Peak, Entries.size());
  const uint64_t Sequence = FrontSequence + Entries.size() - 1;
  if (Chain->second.Newest == NoNext) {
    Chain->second = TChain{Sequence, Sequence};
  } else {
    At(Chain->second.Newest).Next = Sequence;
    Chain->second.Newest = Sequence;
  }
  ++Live;
  // Over the cap: the oldest entries go, so that a server that never answers
  // cannot make this table grow without limit.
  while (Entries.size() > Limit) {
    PopFront(&Dropped);
    TrimAnswered();
  }
}

bool TOutstandingRequests::Answered(int32_t SessionACT) {
  const auto Chain = Sessions.find(SessionACT);
  if (Chain == Sessions.end()) return false;
  TEntry& Entry = At(Chain->second.Oldest);
  Entry.Answered = true;
  --Live;
  if (Entry.Next == NoNext) {
    Sessions.erase(Chain);
  } else {
    Chain->second.Oldest = Entry.Next;
  }
  TrimAnswered();
  return true;
}

size_t TOutstandingRequests::ConnectionLost(uint32_t Generation, const TDropped& Dropped) {
  const size_t Before = Live;
  // Generations are compared as distances, so that wrapping past 2^32
  // losses keeps the order.
  while (!Entries.empty() &&
         static_cast<int32_t>(Entries.front().Generation - Generation) <= 0) {
    PopFront(&Dropped);
  }
  TrimAnswered();
  return Before - Live;
}

size_t TOutstandingRequests::DropAll(const TDropped& Dropped) {
  const size_t Before = Live;
  while (!Entries.empty()) PopFront(&Dropped);
  GiveBackMemory();
  return Before;
}

// The front entry, when unanswered, is the oldest of its session: every
// older entry of the session is gone or answered. So it heads its chain.
void TOutstandingRequests::PopFront(const TDropped* Dropped) {
  const TEntry Entry = Entries.front();
  Entries.pop_front();
  ++FrontSequence;
  if (Entry.Answered) return;
  --Live;
  const auto Chain = Sessions.find(Entry.SessionACT);
  if (Chain != Sessions.end()) {
    if (Entry.Next == NoNext) {
      Sessions.erase(Chain);
    } else {
      Chain->second.Oldest = Entry.Next;
    }
  }
  if (Dropped != nullptr && *Dropped) (*Dropped)(Entry.SessionACT);
}

void TOutstandingRequests::TrimAnswered() {
  while (!Entries.empty() && Entries.front().Answered) PopFront(nullptr);
  GiveBackMemory();
}

// A drained table keeps the deque's block map and the session buckets of its
// largest backlog; after a large one they are handed back, so a burst does not
// pin its memory for the life of the plug-in. Small backlogs keep theirs.
void TOutstandingRequests::GiveBackMemory() {
  if (!Entries.empty() || Peak <= SmallBacklog) return;
  std::deque<TEntry>().swap(Entries);
  std::unordered_map<int32_t, TChain>().swap(Sessions);
  Peak = 0;
}
