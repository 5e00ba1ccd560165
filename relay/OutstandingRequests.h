// TOutstandingRequests: the requests handed to the transport whose answers
// have not come back yet, so that each one the plug-in follows ends either as
// an answer to the host or as one "No answer" log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

// Used by the worker thread alone: no lock. Requests are kept in send order,
// each with its key (the session and the host's own "UserData" value, which
// travel to the server and back) and the generation of the connection it went
// out on (the number of connection losses seen before the send). Generations
// never decrease in send order, so a lost connection always takes out a run
// of the oldest requests. An answer takes out the oldest request of its key:
// one connection returns the answers of a key in the order of its requests.
// The plug-in does not know which operations the server answers, so a
// request without an answer is reported as such, never as a failure.
//
// Memory is bounded by Capacity. Beyond it the oldest request leaves the
// table untracked: nobody reports it, and its key counts it, so that its
// answer, should it come, is taken for it (it is its key's oldest) and not for
// a newer request of the same key. A lost connection forgets the untracked
// requests of keys whose newest untracked one went out on it or before.
class TOutstandingRequests {
public:
  // Called once for each request given up unanswered, oldest first.
  using TUnanswered = std::function<void(int32_t SessionACT)>;

  explicit TOutstandingRequests(size_t Capacity);
  TOutstandingRequests(const TOutstandingRequests&) = delete;
  TOutstandingRequests& operator=(const TOutstandingRequests&) = delete;

  // The key's second part for a host "UserData" value (empty: none).
  static uint64_t HostValueKey(const std::string& HostValue);

  // Keeps a request sent on connection Generation. True when the table was
  // full and its oldest entry left it to make room (untracked, when it was
  // still unanswered). Throws std::bad_alloc with nothing changed.
  bool Sent(int32_t SessionACT, uint64_t HostValue, uint32_t Generation);
  // An answer for a key: settles its oldest request, an untracked one first.
  // False when none of that key is kept or counted.
  bool Answered(int32_t SessionACT, uint64_t HostValue);
  // Gives up every unanswered request sent on a connection up to and
  // including Generation; later ones stay. Returns how many were given up.
  size_t ConnectionLost(uint32_t Generation, const TUnanswered& Unanswered);
  // Gives up every unanswered request and forgets the untracked ones.
  // Returns how many were given up.
  size_t DropAll(const TUnanswered& Unanswered);
  // Requests that left the table untracked since the last call.
  size_t TakeUntracked();

  size_t Unanswered() const { return Live; }
  size_t Capacity() const { return Limit; }

private:
  static constexpr uint64_t NoNext = UINT64_MAX;
  struct TKey {
    int32_t SessionACT;
    uint64_t HostValue;
    bool operator==(const TKey&) const = default;
  };
  struct TKeyHash {
    size_t operator()(const TKey& Key) const {
      return static_cast<size_t>(Key.HostValue * 31 + static_cast<uint32_t>(Key.SessionACT));
    }
  };
  struct TEntry {
    TKey Key;
    uint32_t Generation;
    bool Answered;
    uint64_t Next;  // sequence number of the key's next unanswered request
  };
  struct TChain {
    uint64_t Oldest;  // sequence numbers of the key's unanswered requests
    uint64_t Newest;
  };
  struct TUntracked {
    uint32_t Count;
    uint32_t NewestGeneration;
  };

  TEntry& At(uint64_t Sequence) { return Entries[static_cast<size_t>(Sequence - FrontSequence)]; }
  // Removes the front entry; one still unanswered is reported through
  // Unanswered, or counted untracked when Unanswered is null.
  void PopFront(const TUnanswered* Unanswered);
  void CountUntracked(const TEntry& Entry);
  // Removes answered entries from the front.
  void TrimAnswered();
  // Frees the containers' spare room once empty after a large backlog.
  void GiveBackMemory();

  static constexpr size_t SmallBacklog = 4096;

  const size_t Limit;
  std::deque<TEntry> Entries;   // send order; Entries[0] has FrontSequence
  uint64_t FrontSequence = 0;
  // Per key, the chain of its unanswered entries through TEntry::Next.
  std::unordered_map<TKey, TChain, TKeyHash> Chains;
  // Per key, the requests that left the table unanswered (at most Limit keys;
  // beyond that one is forgotten, and its answer may settle a newer request).
  std::unordered_map<TKey, TUntracked, TKeyHash> Untracked;
  size_t Live = 0;          // unanswered entries
  size_t UntrackedNew = 0;  // left untracked since TakeUntracked
  size_t Peak = 0;          // most entries kept since the containers were last freed
};
