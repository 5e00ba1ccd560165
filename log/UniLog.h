// tUniLog: a time-separated file log that offers every line to a log server
// through the optional client library "LogClient.dll" before the file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "log/TimeSeparatedFileLog.h"
#include "platform/Libraries.h"

// The client library's entries (stdcall). The Boolean results arrive in the
// low byte of the result register; the other bytes are not defined.
using TLogClientInitialize = uint32_t(VELMORA_STDCALL*)(const char* Setting, int32_t Always500);
using TLogClientMessage = uint32_t(VELMORA_STDCALL*)(double Time, const char* HostExeName,
                                                     const char* PluginFileName, const char* Tag,
                                                     const char* Text);
using TLogClientFinalize = void(VELMORA_STDCALL*)();

class tUniLog : public tTimeSeparatedFileLog {
public:
  // A non-empty LogServerSetting loads ClientLibraryName (searched as the
  // system does, then in the host executable's directory) and hands it the
  // setting; an empty one loads nothing. A library lacking an entry is
  // unloaded at once and never called.
  tUniLog(const std::string& Pattern, const std::string& LogServerSetting,
          const std::string& ClientLibraryName = "LogClient.dll");
  // Finalises and unloads the client library when one is in use.
  ~tUniLog() override;

  // Each write is offered to the server first (without holding the lock);
  // a line the server takes is not written to the file. The stamped writes
  // pass the local time in days since 30 December 1899, the raw ones 0.0.
  // A failure raised inside the client library passes to the caller.
  bool Write(const std::string& Text) override;
  bool WriteTagged(const std::string& Text, const std::string& Tag) override;
  bool WriteRaw(const std::string& Text) override;
  bool WriteRawTagged(const std::string& Text, const std::string& Tag) override;

  bool ClientLoaded() const { return ClientMessage != nullptr; }
  bool LastServerResult() const { return LastResult.load(std::memory_order_relaxed); }

private:
  void LoadLogClient(const std::string& Setting, const std::string& ClientLibraryName);
  // True when the server took the line; false when there is no client or it declined.
  bool OfferToServer(double Time, const char* Tag, const std::string& Text);

  // Set at construction, cleared at destruction; read-only in between. The
  // three entries are all present or all absent, and present exactly while
  // the library is loaded and in use.
  Platform::TLibrary ClientLibrary = nullptr;
  TLogClientInitialize ClientInitialize = nullptr;
  TLogClientFinalize ClientFinalize = nullptr;
  TLogClientMessage ClientMessage = nullptr;
  // The result of the most recent server call; written by any writing thread.
  std::atomic<bool> LastResult{false};
};
