// tUniLog: a time-separated file log that offers every line to a log server
// through the optional client library "LogClient.dll" before the file. The
// client's three entries run under the foreign-call guard: a fault inside
// one (an access violation, an exception raised through the system) never
// leaves the log.
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
  // unloaded at once and never called. A client whose DLL_Initialize faults
  // is offered no line (the log stays on files) and is finalised and
  // unloaded with the log, like any client it initialised.
  tUniLog(const std::string& Pattern, const std::string& LogServerSetting,
          const std::string& ClientLibraryName = "LogClient.dll");
  // Finalises and unloads the client library when one was initialised; a
  // fault inside DLL_Finalize does not keep the library from being unloaded.
  ~tUniLog() override;

  // Each write is offered to the server first (without holding the lock);
  // a line the server takes is not written to the file. The stamped writes
  // pass the local time in days since 30 December 1899, the raw ones 0.0.
  // A fault inside DLL_MessageToLogServer counts as a declined line: the line
  // goes to the file, and the next line is offered to the server again.
  bool Write(const std::string& Text) override;
  bool WriteTagged(const std::string& Text, const std::string& Tag) override;
  bool WriteRaw(const std::string& Text) override;
  bool WriteRawTagged(const std::string& Text, const std::string& Tag) override;

  bool ClientLoaded() const { return ClientMessage != nullptr; }
  bool LastServerResult() const { return LastResult.load(std::memory_order_relaxed); }

private:
  void LoadLogClient(const std::string& Setting, const std::string& ClientLibraryName);
  // True when the server took the line; false when there is no client, it
  // declined, or it faulted.
  bool OfferToServer(double Time, const char* Tag, const std::string& Text);

  // Set at construction, cleared at destruction; read-only in between. The
  // three entries are all present or all absent, and present exactly while
  // the library is loaded and in use; the one exception is a client whose
  // DLL_Initialize faulted: ClientMessage is then absent (no line is offered)
  // while the other two stay for its finalisation and unloading.
  Platform::TLibrary ClientLibrary = nullptr;
  TLogClientInitialize ClientInitialize = nullptr;
  TLogClientFinalize ClientFinalize = nullptr;
  TLogClientMessage ClientMessage = nullptr;
  // The result of the most recent server call; written by any writing thread.
  std::atomic<bool> LastResult{false};
};
