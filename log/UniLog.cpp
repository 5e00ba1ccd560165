// tUniLog: loading the log-server client library and offering lines to it.
#include "log/UniLog.h"

#include <optional>

#include "log/ProcessNames.h"
#include "platform/ForeignCall.h"
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
    // Destruction must complete: a fault inside the library on the way out
    // is dropped, and the library is unloaded all the same.
    Platform::TryCallForeign(ClientFinalize);
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
  // The result is only recorded: the library stays in use either way. A
  // fault is not a result: such a client gets no line (they all go to the
  // file), but it is finalised and unloaded with the log, as its
  // initialisation may have left something running that only it can stop.
  const std::optional<uint32_t> Result =
      Platform::TryCallForeign(ClientInitialize, Setting.c_str(), int32_t{500});
  if (Result) {
    LastResult.store(LowByte(*Result), std::memory_order_relaxed);
  } else {
    ClientMessage = nullptr;
  }
}

bool tUniLog::OfferToServer(double Time, const char* Tag, const std::string& Text) {
  // A fault is no answer: whatever the client did with the line, it did not
  // take it, and the file gets it, as it gets a declined line, rather than
  // losing it.
  const std::optional<uint32_t> Result = Platform::TryCallForeign(
      ClientMessage, Time, HostExeName().c_str(), PluginFileName().c_str(), Tag, Text.c_str());
  const bool Taken = Result && LowByte(*Result);
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
