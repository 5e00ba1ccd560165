// The slots behind the transport callbacks' keys: claiming, renewing and
// retiring keys, and the passage of one callback through a key.
#include "transport/ClientKeys.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "log/ProcessLog.h"
#include "platform/Thread.h"

namespace {

constexpr uint32_t SlotBits = 8;
constexpr uint32_t GenerationMask = 0xFFFFFF;
static_assert(ClientKeys::SlotCount == 1u << SlotBits);

enum : uint32_t { SlotFree, SlotTaken, SlotKept };

// Constant-initialised: a callback may look a key up at any time while the
// library is loaded, before any constructor or after every destructor ran.
struct TSlot {
  // Odd while the slot's current key is live; it is the key's generation.
  std::atomic<uint32_t> Generation{0};
  // Callbacks inside: a passage counts itself in before it reads Generation,
  // and Retire changes Generation before it reads the count, so once Retire
  // has seen no one inside, no passage with the old key can begin.
  std::atomic<uint32_t> Inside{0};
  std::atomic<TTPKTClient*> Client{nullptr};
  std::atomic<uint32_t> Use{SlotFree};
  std::atomic<void*> Kept{nullptr};
  // The key generation whose late call was logged last: one line per key.
  std::atomic<uint32_t> LoggedLate{UINT32_MAX};
};

constinit TSlot Slots[ClientKeys::SlotCount];
// Claims go round the slots, so a slot is reused as late as possible and a
// late call is told apart from its slot's next client for long.
constinit std::atomic<uint32_t> NextSlot{0};
constinit std::atomic<uint32_t> LateTotal{0};

uint32_t SlotOf(ClientKeys::TKey Key) {
  return static_cast<uint32_t>(Key & (ClientKeys::SlotCount - 1));
}

ClientKeys::TKey KeyOf(uint32_t Slot, uint32_t Generation) {
  return (static_cast<ClientKeys::TKey>(Generation & GenerationMask) << SlotBits) | Slot;
}

bool Matches(ClientKeys::TKey Key, uint32_t Generation) {
  return (Generation & 1) != 0 && KeyOf(SlotOf(Key), Generation) == Key;
}

void LogLateCall(TSlot& Slot, ClientKeys::TKey Key, const char* Callback) noexcept {
  LateTotal.fetch_add(1);
  const auto KeyGeneration = static_cast<uint32_t>(Key >> SlotBits);
  if (Slot.LoggedLate.exchange(KeyGeneration) == KeyGeneration) return;
  try {
    Log(std::string("FS Client: ") + Callback +
        " from the transport after the connection was destroyed; ignored");
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
}

}  // namespace

namespace ClientKeys {

TKey Register(TTPKTClient* Client) {
  for (uint32_t Tried = 0; Tried < SlotCount; ++Tried) {
    const uint32_t Index = NextSlot.fetch_add(1) % SlotCount;
    TSlot& Slot = Slots[Index];
    uint32_t Free = SlotFree;
    if (!Slot.Use.compare_exchange_strong(Free, SlotTaken)) continue;
    Slot.Client.store(Client);
    // The slot was retired (even): one step makes the new live generation.
    return KeyOf(Index, Slot.Generation.fetch_add(1) + 1);
  }
  throw std::runtime_error("no free transport client slot: all " + std::to_string(SlotCount) +
                           " are taken");
}

TKey Renew(TKey Old) {
  TSlot& Slot = Slots[SlotOf(Old)];
  return KeyOf(SlotOf(Old), Slot.Generation.fetch_add(2) + 2);
}

bool Retire(TKey Key, uint32_t WaitMs) {
  TSlot& Slot = Slots[SlotOf(Key)];
  uint32_t Live = Slot.Generation.load();
  while (Matches(Key, Live) && !Slot.Generation.compare_exchange_weak(Live, Live + 1)) {
  }
  const uint64_t Deadline = Platform::TickCountMs() + WaitMs;
  while (Slot.Inside.load() != 0) {
    if (Platform::TickCountMs() >= Deadline) return false;
    Platform::SleepMs(1);
  }
  return true;
}

void Release(TKey Key) {
  TSlot& Slot = Slots[SlotOf(Key)];
  Slot.Client.store(nullptr);
  Slot.Use.store(SlotFree);
}

void Keep(TKey Key, void* Memory) {
  TSlot& Slot = Slots[SlotOf(Key)];
  Slot.Kept.store(Memory);
  Slot.Use.store(SlotKept);
}

TPassage::TPassage(void* UserValue, const char* Callback) noexcept {
  const auto Key = reinterpret_cast<TKey>(UserValue);
  const uint32_t Index = SlotOf(Key);
  TSlot& Entered = Slots[Index];
  Entered.Inside.fetch_add(1);
  if (Matches(Key, Entered.Generation.load())) {
    Slot = Index;
    FClient = Entered.Client.load();
    return;
  }
  Entered.Inside.fetch_sub(1);
  LogLateCall(Entered, Key, Callback);
}

TPassage::~TPassage() {
  if (Slot != SlotCount) Slots[Slot].Inside.fetch_sub(1);
}

uint32_t LateCalls() { return LateTotal.load(); }

}  // namespace ClientKeys
