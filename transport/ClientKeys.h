// The user values the transport library is given for its callbacks: small
// keys (a slot and a generation) instead of the clients' addresses, so that a
// callback arriving after its connection or its client is gone finds nothing
// and returns, and a client is freed only once every callback that entered it
// has left.
#pragma once

#include <cstdint>

class TTPKTClient;

namespace ClientKeys {

// Slot in the low 8 bits, the slot's generation (odd while the key is live)
// in the 24 above; never 0. The slots are static: a key stays safe to look
// up, stale or not, for as long as the library is loaded.
using TKey = uintptr_t;
inline constexpr uint32_t SlotCount = 256;

// Owner thread. Claims a free slot for Client and returns its first key;
// throws std::runtime_error when every slot is taken.
TKey Register(TTPKTClient* Client);
// A new key for the same client (a new connection): Old is stale from now on.
// Callbacks already inside stay counted in the slot.
TKey Renew(TKey Old);
// Makes Key stale and waits up to WaitMs for every callback inside its slot
// to leave. True when none is inside: the client may then be destroyed, and
// the slot handed back (Release) or kept (Keep).
bool Retire(TKey Key, uint32_t WaitMs);
// After Retire returned true and the client is gone: the slot is free again.
void Release(TKey Key);
// The slot stays taken for good, holding Memory that must not be freed: a
// client a callback is still inside, or the storage of one whose termination
// outlived it (the library may still write its TermID field). Memory stays
// reachable here, so a leak checker does not report it.
void Keep(TKey Key, void* Memory);

// One callback's passage through a key, on a thread of the library. Client()
// is the key's client while the key is live; null when it is stale or not a
// key of ours: the call is then counted, the first one for its key logged,
// and the callback must return at once. The client is not freed before the
// passage ends.
class TPassage {
public:
  TPassage(void* UserValue, const char* Callback) noexcept;
  ~TPassage();
  TPassage(const TPassage&) = delete;
  TPassage& operator=(const TPassage&) = delete;
  TTPKTClient* Client() const { return FClient; }

private:
  uint32_t Slot = SlotCount;  // SlotCount: not entered
  TTPKTClient* FClient = nullptr;
};

// Callbacks that found a stale key, since the library was loaded (for tests).
uint32_t LateCalls();

}  // namespace ClientKeys
