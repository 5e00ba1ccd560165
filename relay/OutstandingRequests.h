// TOutstandingRequests: the requests handed to the transport whose answers
// have not come back yet, so that every one of them ends either as an answer
// to the host or as one "dropped" log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>

// Used by the worker thread alone: no lock. Requests are kept in send order,
// each with its session and the generation of the connection it went out on
// (the number of connection losses seen before the send). Generations never
// decrease in send order, so a lost connection always takes out a run of the
// oldest requests. An answer carries only its session, so it takes out the
// oldest request of that session: one connection returns a session's answers
// in the order of its requests. Memory is bounded by Capacity.
class TOutstandingRequests {
public:
  // Called once for each request given up, oldest first.
  using TDropped = std::function<void(int32_t SessionACT)>;

  explicit TOutstandingRequests(size_t Capacity);
  TOutstandingRequests(const TOutstandingRequests&) = delete;
  TOutstandingRequests& operator=(const TOutstandingRequests&) = delete;

  // Keeps a request sent on connection Generation. When Capacity requests are
  // already kept (answered ones waiting behind an older unanswered one
  // included), the oldest is given up first, through Dropped when it was
  // still unanswered. Throws std::bad_alloc with nothing changed.
  void Sent(int32_t SessionACT, uint32_t Generation, const TDropped& Dropped);
  // An answer for SessionACT: forgets that session's oldest request. False
  // when none is kept (given up already, or never sent through here).
  bool Answered(int32_t SessionACT);
  // Gives up every unanswered request sent on a connection up to and
  // including Generation; later ones stay. Returns how many were given up.
  size_t ConnectionLost(uint32_t Generation, const TDropped& Dropped);
  // Gives up every unanswered request. Returns how many.
  size_t DropAll(const TDropped& Dropped);

  size_t Unanswered() const { return Live; }
  size_t Capacity() const { return Limit; }

private:
  static constexpr uint64_t NoNext = UINT64_MAX;
  struct TEntry {
    int32_t SessionACT;
    uint32_t Generation;
    bool Answered;
    uint64_t Next;  // sequence number of the session's next unanswered request
  };
  struct TChain {
    uint64_t Oldest;  // sequence numbers of the session's unanswered requests
    uint64_t Newest;
  };

  TEntry& At(uint64_t Sequence) { return Entries[static_cast<size_t>(Sequence - FrontSequence)]; }
  // Removes the front entry, reporting it when it was unanswered.
  void PopFront(const TDropped* Dropped);
  // Removes answered entries from the front.
  void TrimAnswered();
  // Frees the containers' spare room once empty after a large backlog.
  void GiveBackMemory();

  static constexpr size_t SmallBacklog = 4096;

  const size_t Limit;
  std::deque<TEntry> Entries;   // send order; Entries[0] has FrontSequence
  uint64_t FrontSequence = 0;
  // Per session, the chain of its unanswered entries through TEntry::Next.
  std::unordered_map<int32_t, TChain> Sessions;
  size_t Live = 0;  // unanswered entries
  size_t Peak = 0;  // most entries kept since the containers were last freed
};
