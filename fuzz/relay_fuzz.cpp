// Fuzz targets for the relay's two paths, one target each: fuzz_command takes
// any bytes as a host command (through QueueCommand and the worker's
// ProcessCommand), fuzz_response any bytes as a server message (through the
// transport's receive and the worker's ReceiveResponse). The relay runs
// against the transport double, connected and echoing; after each input a
// known command must still come back, so a path that wedges the worker or
// loses its place is caught, as are the sanitizers' reports.
//
// VELMORA_FUZZ_RESPONSE selects the server-message path at compile time.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Thread.h"
#include "relay/MailerManager.h"
#include "tests/support/TransportDouble.h"

namespace {

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "relay fuzz: %s\n", What);
  std::abort();
}

// The session of the last callback; the sentinel's answer carries a session
// no fuzzed input can produce (fuzzed commands all use session 1).
std::atomic<int32_t> LastSession{0};
std::atomic<uint64_t> Callbacks{0};

void VELMORA_STDCALL OnCallback(int32_t SessionACT, const char* PluginName, const void* Data,
                                int32_t Length, uintptr_t) {
  // The host reads every byte it is handed; so does this, for the sanitizers.
  volatile uint8_t Sum = 0;
  for (int32_t I = 0; I < Length; ++I) Sum = Sum + static_cast<const uint8_t*>(Data)[I];
  if (PluginName == nullptr) Fail("callback without the plug-in's name");
  LastSession.store(SessionACT);
  Callbacks.fetch_add(1);
}

TMailerManager* TheManager = nullptr;

struct TRig {
  // Never destroyed: its destructor would reset and unload the double before
  // the exit handler below has stopped the relay that uses it. The library
  // stays loaded until the process ends.
  TestSupport::TTransportDouble* Double = nullptr;
  TMailerManager* Manager = nullptr;
  int32_t NextSentinel = 1000000;

  TRig() {
    // The client finds the double by the same bare name, so both share it;
    // the controller resets it.
    Double = new TestSupport::TTransportDouble;
    Double->SetAutoEcho(true);
    Manager = new TMailerManager(&OnCallback, 0);
    // libFuzzer ends with exit(): stop the worker and the client first, as a
    // host's Finalize would, so no thread of theirs outlives the libraries.
    // Registered after the double was loaded, so it runs before its teardown.
    TheManager = Manager;
    std::atexit([] { TMailerManager::Release(TheManager); });
    if (!Double->FireConnect()) Fail("no connect");
  }

  // Queues an ordinary command with a fresh session and waits for its answer:
  // the worker handles tasks in order, so everything before it is done.
  void Sentinel() {
    const int32_t Session = ++NextSentinel;
    static const char Command[] = "Operation=6\0Text=sentinel";
    Manager->QueueCommand(Session, Command, sizeof Command);
    const uint64_t Deadline = Platform::TickCountMs() + 10000;
    while (LastSession.load() != Session) {
      if (Platform::TickCountMs() > Deadline) Fail("the sentinel command was never answered");
      Platform::SleepMs(0);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static TRig Rig;
  if (Size > 64 * 1024) return 0;
  const int32_t Length = static_cast<int32_t>(Size);
#if defined(VELMORA_FUZZ_RESPONSE)
  if (Length > 0 && !Rig.Double->FireReceive(Data, Length)) {
    Fail("the double could not deliver the server message");
  }
#else
  Rig.Manager->QueueCommand(1, Data, Length);
#endif
  Rig.Sentinel();
  return 0;
}
