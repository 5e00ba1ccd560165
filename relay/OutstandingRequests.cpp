// The table of requests awaiting their answers: send order, per-key chains for
// matching answers, the untracked beyond the cap, and giving up on a lost
// connection or at the stop.
#include "relay/OutstandingRequests.h"

#include <algorithm>

namespace {

// Generations are compared as distances, so that wrapping past 2^32 losses
// keeps the order.
bool NotAfter(uint32_t Generation, uint32_t Lost) {
  return static_cast<int32_t>(Generation - Lost) <= 0;
}

}  // namespace

TOutstandingRequests::TOutstandingRequests(size_t Capacity) : Limit(std::max<size_t>(Capacity, 1)) {}

// FNV-1a: the value itself need not be kept, only told from the others of its
// session.
uint64_t TOutstandingRequests::HostValueKey(const std::string& HostValue) {
  uint64_t Hash = 14695981039346656037ull;
  for (const char C : HostValue) {
    Hash = (Hash ^ static_cast<unsigned char>(C)) * 1099511628211ull;
  }
  return Hash;
}

bool TOutstandingRequests::Sent(int32_t SessionACT, uint64_t HostValue, uint32_t Generation) {
  const TKey Key{SessionACT, HostValue};
  // Reserve the key's chain first, so that a failing allocation changes
  // nothing that was kept before.
  const auto [Chain, Fresh] = Chains.try_emplace(Key, TChain{NoNext, NoNext});
  try {
    Entries.push_back(TEntry{Key, Generation, false, NoNext});
  } catch (...) {
    if (Fresh) Chains.erase(Chain);
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
  if (Entries.size() <= Limit) return false;
  while (Entries.size() > Limit) {
    PopFront(nullptr);
    TrimAnswered();
  }
  return true;
}

bool TOutstandingRequests::Answered(int32_t SessionACT, uint64_t HostValue) {
  const TKey Key{SessionACT, HostValue};
  // Untracked requests of the key are older than every kept one.
  const auto Counted = Untracked.find(Key);
  if (Counted != Untracked.end()) {
    if (--Counted->second.Count == 0) Untracked.erase(Counted);
    GiveBackMemory();
    return true;
  }
  const auto Chain = Chains.find(Key);
  if (Chain == Chains.end()) return false;
  TEntry& Entry = At(Chain->second.Oldest);
  Entry.Answered = true;
  --Live;
  if (Entry.Next == NoNext) {
    Chains.erase(Chain);
  } else {
    Chain->second.Oldest = Entry.Next;
  }
  TrimAnswered();
  return true;
}

size_t TOutstandingRequests::ConnectionLost(uint32_t Generation, const TUnanswered& Unanswered) {
  const size_t Before = Live;
  while (!Entries.empty() && NotAfter(Entries.front().Generation, Generation)) {
    PopFront(&Unanswered);
  }
  TrimAnswered();
  std::erase_if(Untracked, [&](const auto& Item) {
    return NotAfter(Item.second.NewestGeneration, Generation);
  });
  GiveBackMemory();
  return Before - Live;
}

size_t TOutstandingRequests::DropAll(const TUnanswered& Unanswered) {
  const size_t Before = Live;
  while (!Entries.empty()) PopFront(&Unanswered);
  Untracked.clear();
  GiveBackMemory();
  return Before;
}

size_t TOutstandingRequests::TakeUntracked() {
  const size_t Count = UntrackedNew;
  UntrackedNew = 0;
  return Count;
}

// The front entry, when unanswered, is the oldest of its key: every older
// entry of the key is gone or answered. So it heads its chain.
void TOutstandingRequests::PopFront(const TUnanswered* Unanswered) {
  const TEntry Entry = Entries.front();
  Entries.pop_front();
  ++FrontSequence;
  if (Entry.Answered) return;
  --Live;
  const auto Chain = Chains.find(Entry.Key);
  if (Chain != Chains.end()) {
    if (Entry.Next == NoNext) {
      Chains.erase(Chain);
    } else {
      Chain->second.Oldest = Entry.Next;
    }
  }
  if (Unanswered == nullptr) {
    CountUntracked(Entry);
  } else if (*Unanswered) {
    (*Unanswered)(Entry.Key.SessionACT);
  }
}

void TOutstandingRequests::CountUntracked(const TEntry& Entry) {
  ++UntrackedNew;
  const auto Counted = Untracked.find(Entry.Key);
  if (Counted != Untracked.end()) {
    ++Counted->second.Count;
    Counted->second.NewestGeneration = Entry.Generation;
  } else if (Untracked.size() < Limit) {
    try {
      Untracked.emplace(Entry.Key, TUntracked{1, Entry.Generation});
    } catch (...) {
      // Memory exhausted: this one is forgotten, as beyond the bound.
    }
  }
}

void TOutstandingRequests::TrimAnswered() {
  while (!Entries.empty() && Entries.front().Answered) PopFront(nullptr);
  GiveBackMemory();
}

// A drained table keeps the deque's block map and the key buckets of its
// largest backlog; after a large one they are handed back, so a burst does not
// pin its memory for the life of the plug-in. Small backlogs keep theirs.
void TOutstandingRequests::GiveBackMemory() {
  if (!Entries.empty() || !Untracked.empty() || Peak <= SmallBacklog) return;
  std::deque<TEntry>().swap(Entries);
  std::unordered_map<TKey, TChain, TKeyHash>().swap(Chains);
  std::unordered_map<TKey, TUntracked, TKeyHash>().swap(Untracked);
  Peak = 0;
}
