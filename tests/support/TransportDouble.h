// TTransportDouble: the one controller of the transport double, the stand-in
// "cl_vexo_transport.dll" that the client under test loads, shared by the
// tests, the benchmarks and the fuzz targets (no GoogleTest).
#pragma once

#include <cstdint>
#include <string>

#include "platform/Libraries.h"
#include "standins/transport-double/DoubleControl.h"

namespace TestSupport {

// Loads the double by the client's own library name, so both share one
// instance, and resets it. The destructor resets it again (ending its thread)
// before letting it go. Throws std::runtime_error when it cannot be loaded.
class TTransportDouble {
public:
  TTransportDouble();
  ~TTransportDouble();
  TTransportDouble(const TTransportDouble&) = delete;
  TTransportDouble& operator=(const TTransportDouble&) = delete;

  void Reset() { FReset(); }
  void ClearLog() { FClearLog(); }
  // Entry returns Code from now on; with code 1 it leaves LastError as the
  // calling thread's last error (one per thread for every module).
  void SetResult(const std::string& Entry, int32_t Code, uint32_t LastError = 0) {
    FSetResult(Entry.c_str(), Code, LastError);
  }
  // The next Count calls of Entry fault (an access violation); negative: every call.
  void SetFault(const std::string& Entry, int32_t Count) { FSetFault(Entry.c_str(), Count); }
  // Each returns true once the client's callback has returned.
  bool FireConnect() { return FFireConnect() == 1; }
  bool FireDisconnect() { return FFireDisconnect() == 1; }
  bool FireReceive(const std::string& Bytes) {
    return FireReceive(Bytes.data(), static_cast<int32_t>(Bytes.size()));
  }
  bool FireReceive(const void* Data, int32_t Size) { return FFireReceive(Data, Size) == 1; }
  // The same message Count times without pause (a flooding server).
  bool FloodReceive(const std::string& Bytes, int32_t Count) {
    return FFloodReceive(Bytes.data(), static_cast<int32_t>(Bytes.size()), Count) == 1;
  }
  bool FireAuxReceive(const std::string& Bytes) {
    return FFireAuxReceive(Bytes.data(), static_cast<int32_t>(Bytes.size())) == 1;
  }
  int32_t CallCount(const std::string& Entry) { return FCallCount(Entry.c_str()); }
  // The calls so far, one "Entry(arguments)" line each ending in "\n".
  std::string CallLog();
  // The byte count of the last SendToServer (-1 when none) and its bytes.
  int32_t LastSendSize() { return FLastSend(nullptr, 0); }
  std::string LastSendBytes();
  // Off: the double keeps no record of calls (scripts, last send and notices
  // work on), so a benchmark measures the client and not the double's
  // bookkeeping; Reset turns it on again.
  void SetRecordCalls(bool Enabled) { FSetRecordCalls(Enabled ? 1 : 0); }
  void SetPolling(int32_t Microseconds) { FSetPolling(Microseconds); }
  void SetAutoConnect(bool Enabled) { FSetAutoConnect(Enabled ? 1 : 0); }
  void SetAutoDisconnect(bool Enabled) { FSetAutoDisconnect(Enabled ? 1 : 0); }
  void SetAutoEcho(bool Enabled, uint8_t ErrorByte = 0, const std::string& Extra = std::string()) {
    FSetAutoEcho(Enabled ? 1 : 0, ErrorByte, Extra.data(), static_cast<int32_t>(Extra.size()));
  }
  // Careless callbacks (DoubleControl.h): late notices after each destroy, a
  // receive stream across the client's teardown, and the wait for their end
  // (the callbacks they made).
  void SetLateNotices(int32_t Kinds, int32_t DelayMs, int32_t Repeat = 1) {
    FSetLateNotices(Kinds, DelayMs, Repeat);
  }
  bool StreamReceive(const std::string& Bytes, int32_t AfterDestroyMs) {
    return FStreamReceive(Bytes.data(), static_cast<int32_t>(Bytes.size()), AfterDestroyMs) == 1;
  }
  int32_t EndStrays() { return FEndStrays(); }
  bool RewriteTermID(int32_t Value) { return FRewriteTermID(Value) == 1; }

private:
  Platform::TLibrary Library = nullptr;
  TDouble_Reset FReset = nullptr;
  TDouble_ClearLog FClearLog = nullptr;
  TDouble_SetRecordCalls FSetRecordCalls = nullptr;
  TDouble_SetPolling FSetPolling = nullptr;
  TDouble_SetResult FSetResult = nullptr;
  TDouble_SetFault FSetFault = nullptr;
  TDouble_FireConnect FFireConnect = nullptr;
  TDouble_FireDisconnect FFireDisconnect = nullptr;
  TDouble_FireReceive FFireReceive = nullptr;
  TDouble_FireAuxReceive FFireAuxReceive = nullptr;
  TDouble_FloodReceive FFloodReceive = nullptr;
  TDouble_CallCount FCallCount = nullptr;
  TDouble_CallLog FCallLog = nullptr;
  TDouble_LastSend FLastSend = nullptr;
  TDouble_SetAutoConnect FSetAutoConnect = nullptr;
  TDouble_SetAutoDisconnect FSetAutoDisconnect = nullptr;
  TDouble_SetAutoEcho FSetAutoEcho = nullptr;
  TDouble_SetLateNotices FSetLateNotices = nullptr;
  TDouble_StreamReceive FStreamReceive = nullptr;
  TDouble_EndStrays FEndStrays = nullptr;
  TDouble_RewriteTermID FRewriteTermID = nullptr;
};

}  // namespace TestSupport
