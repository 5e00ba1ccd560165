// LogClient.dll's three entries, as the plug-in's log calls them (stdcall;
// Booleans in the low byte of the result). No failure leaves an entry: a
// line the client cannot take is declined, and the plug-in writes it to its
// file.
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/LibraryEntry.h"
#include "syslogclient/SyslogClient.h"
#include "syslogclient/SyslogSetting.h"

namespace {

// Set by DLL_Initialize, cleared by DLL_Finalize; the plug-in calls neither
// while a line is being offered, so offering threads only read it.
std::atomic<TSyslogClient*> Client{nullptr};

// The library's last unload runs on the client's thread when that thread
// leaves after the plug-in let go of the library: the plug-in's thread, which
// called in here, must not leave its runtime record behind then.
struct TLeaveOnReturn {
  ~TLeaveOnReturn() { Platform::LeaveLibraryAsExitingThread(); }
};

void StopClient() {
  TSyslogClient* const Running = Client.exchange(nullptr);
  if (Running == nullptr) return;
  Running->Stop();
  delete Running;
}

}  // namespace

extern "C" {

// Called inside the plug-in's load-time initialisation: reads the setting
// and starts the client's thread without waiting for it. False (and every
// line declined) for a setting it cannot read or a thread it cannot start.
VELMORA_EXPORT uint32_t VELMORA_STDCALL DLL_Initialize(const char* Setting, int32_t /*Always500*/) {
  const TLeaveOnReturn Leave;
  try {
    StopClient();
    TSyslogSetting Parsed;
    if (Setting == nullptr || !ParseSyslogSetting(Setting, Parsed)) return 0;
    auto* Made = new TSyslogClient(Parsed);
    if (!Made->Start()) {
      delete Made;
      return 0;
    }
    Client.store(Made);
    return 1;
  } catch (...) {
    return 0;
  }
}

VELMORA_EXPORT uint32_t VELMORA_STDCALL DLL_MessageToLogServer(double Time, const char* /*HostExeName*/,
                                                               const char* PluginFileName,
                                                               const char* Tag, const char* Text) {
  try {
    TSyslogClient* const Running = Client.load();
    return Running != nullptr && Running->Offer(Time, PluginFileName, Tag, Text) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

// Called inside the plug-in's unload-time finalisation: lets the thread send
// what is queued for at most TSyslogClient::FlushMs, waits that long at most,
// and lets it go (it ends on its own).
VELMORA_EXPORT void VELMORA_STDCALL DLL_Finalize() {
  const TLeaveOnReturn Leave;
  try {
    StopClient();
  } catch (...) {
  }
}

}  // extern "C"
