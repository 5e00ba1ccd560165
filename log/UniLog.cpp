// tUniLog: loading the log-server client library and offering lines to it.
#include "log/UniLog.h"

#include "log/ProcessNames.h"
#include "platform/Libraries.h"
#include "platform/TimeText.h"

namespace {

bool LowByte(uint32_t Result) { return (Result & 0xFFu) != 0; }

}  // namespace

tUniLog::tUniLog(const std::string& Pattern, const std::string& LogServerSetting,
                 const std::string& ClientLibraryName)
    : tTimeSeparatedFileLog(Pattern) {
  if (!LogServerSetting.empty()) LoadLogClient(LogServerSetting, ClientLibraryName);
}

tUniLog::~tUniLog() {
  if (ClientFinalize != nullptr) {
    // Destruction must complete: whatever the library raises on the way out
    // is dropped, and the library is unloaded all the same.
    try {
      ClientFinalize();
    } catch (...) {
    }
    Platform::UnloadLibrary(ClientLibrary);
  }
  ClientLibrary = nullptr;
  ClientInitialize = nullptr;
  ClientFinalize = nullptr;
  ClientMessage = nullptr;
}

void tUniLog::LoadLogClient(const std::string& Setting, const std::string& ClientLibraryName) {
  ClientLibrary = Platform::LoadLibraryFallback(ClientLibraryName);
  if (ClientLibrary == nullptr) return;
  ClientInitialize =
      Platform::LibraryEntryPoint<TLogClientInitialize>(ClientLibrary, "DLL_Initialize");
  ClientFinalize = Platform::LibraryEntryPoint<TLogClientFinalize>(ClientLibrary, "DLL_Finalize");
  ClientMessage =
      Platform::LibraryEntryPoint<TLogClientMessage>(ClientLibrary, "DLL_MessageToLogServer");
  if (ClientInitialize == nullptr || ClientFinalize == nullptr || ClientMessage == nullptr) {
    Platform::UnloadLibrary(ClientLibrary);
    ClientLibrary = nullptr;
    ClientInitialize = nullptr;
    ClientFinalize = nullptr;
    ClientMessage = nullptr;
    return;
  }
  // The result is only recorded: the library stays in use either way.
  LastResult.store(LowByte(ClientInitialize(Setting.c_str(), 500)), std::memory_order_relaxed);
}

bool tUniLog::OfferToServer(double Time, const char* Tag, const std::string& Text) {
  const bool Taken = LowByte(ClientMessage(Time, HostExeName().c_str(), PluginFileName().c_str(),
                                           Tag, Text.c_str()));
  LastResult.store(Taken, std::memory_order_relaxed);
  return Taken;
}

bool tUniLog::Write(const std::string& Text) {
  if (ClientMessage != nullptr &&
      OfferToServer(Platform::DaysSince1899(LocalNow()), "", Text)) {
    return true;
  }
  return tTimeSeparatedFileLog::Write(Text);
}

bool tUniLog::WriteTagged(const std::string& Text, const std::string& Tag) {
  if (ClientMessage != nullptr &&
      OfferToServer(Platform::DaysSince1899(LocalNow()), Tag.c_str(), Text)) {
    return true;
  }
  return tTimeSeparatedFileLog::WriteTagged(Text, Tag);
}

bool tUniLog::WriteRaw(const std::string& Text) {
  if (ClientMessage != nullptr && OfferToServer(0.0, "", Text)) return true;
  return tTimeSeparatedFileLog::WriteRaw(Text);
}

bool tUniLog::WriteRawTagged(const std::string& Text, const std::string& Tag) {
  if (ClientMessage != nullptr && OfferToServer(0.0, Tag.c_str(), Text)) return true;
  return tTimeSeparatedFileLog::WriteRawTagged(Text, Tag);
}
