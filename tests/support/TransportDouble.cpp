// The transport double's controller: loading it and taking its control
// entries.
#include "tests/support/TransportDouble.h"

#include <stdexcept>
#include <vector>

#include "tests/support/RequiredEntry.h"

namespace TestSupport {

TTransportDouble::TTransportDouble() {
  Library = Platform::LoadLibraryByName("cl_vexo_transport.dll");
  if (Library == nullptr) throw std::runtime_error("transport double not found");
  try {
    constexpr const char* What = "transport double";
    FReset = RequiredEntry<TDouble_Reset>(Library, "Double_Reset", What);
    FClearLog = RequiredEntry<TDouble_ClearLog>(Library, "Double_ClearLog", What);
    FSetRecordCalls = RequiredEntry<TDouble_SetRecordCalls>(Library, "Double_SetRecordCalls", What);
    FSetPolling = RequiredEntry<TDouble_SetPolling>(Library, "Double_SetPolling", What);
    FSetResult = RequiredEntry<TDouble_SetResult>(Library, "Double_SetResult", What);
    FSetFault = RequiredEntry<TDouble_SetFault>(Library, "Double_SetFault", What);
    FFireConnect = RequiredEntry<TDouble_FireConnect>(Library, "Double_FireConnect", What);
    FFireDisconnect = RequiredEntry<TDouble_FireDisconnect>(Library, "Double_FireDisconnect", What);
    FFireReceive = RequiredEntry<TDouble_FireReceive>(Library, "Double_FireReceive", What);
    FFireAuxReceive = RequiredEntry<TDouble_FireAuxReceive>(Library, "Double_FireAuxReceive", What);
    FFloodReceive = RequiredEntry<TDouble_FloodReceive>(Library, "Double_FloodReceive", What);
    FCallCount = RequiredEntry<TDouble_CallCount>(Library, "Double_CallCount", What);
    FCallLog = RequiredEntry<TDouble_CallLog>(Library, "Double_CallLog", What);
    FLastSend = RequiredEntry<TDouble_LastSend>(Library, "Double_LastSend", What);
    FSetAutoConnect = RequiredEntry<TDouble_SetAutoConnect>(Library, "Double_SetAutoConnect", What);
    FSetAutoDisconnect =
        RequiredEntry<TDouble_SetAutoDisconnect>(Library, "Double_SetAutoDisconnect", What);
    FSetAutoEcho = RequiredEntry<TDouble_SetAutoEcho>(Library, "Double_SetAutoEcho", What);
    FSetLateNotices = RequiredEntry<TDouble_SetLateNotices>(Library, "Double_SetLateNotices", What);
    FStreamReceive = RequiredEntry<TDouble_StreamReceive>(Library, "Double_StreamReceive", What);
    FEndStrays = RequiredEntry<TDouble_EndStrays>(Library, "Double_EndStrays", What);
    FRewriteTermID = RequiredEntry<TDouble_RewriteTermID>(Library, "Double_RewriteTermID", What);
  } catch (...) {
    Platform::UnloadLibrary(Library);
    throw;
  }
  FReset();
}

TTransportDouble::~TTransportDouble() {
  FReset();
  Platform::UnloadLibrary(Library);
}

std::string TTransportDouble::CallLog() {
  const int32_t Length = FCallLog(nullptr, 0);
  std::vector<char> Buffer(static_cast<size_t>(Length) + 1);
  FCallLog(Buffer.data(), static_cast<int32_t>(Buffer.size()));
  return std::string(Buffer.data(), static_cast<size_t>(Length));
}

std::string TTransportDouble::LastSendBytes() {
  const int32_t Size = FLastSend(nullptr, 0);
  if (Size <= 0) return std::string();
  std::string Bytes(static_cast<size_t>(Size), '\0');
  FLastSend(Bytes.data(), Size);
  return Bytes;
}

}  // namespace TestSupport
