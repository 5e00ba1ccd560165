// The exports of the TCP transport library "cl_vexo_transport.dll": the
// table of live terminations and the entries that reach them by TermID.
#include <cstdint>
#include <map>
#include <memory>

#include "platform/Sync.h"
#include "platform/Socket.h"
#include "standins/transport-tcp/ConnectionText.h"
#include "standins/transport-tcp/Termination.h"
#include "transport/TransportApi.h"

namespace {

// Live terminations by TermID. A caller takes its own reference, so a send
// that is under way keeps its termination alive while the host destroys it.
// Every termination must be destroyed before the library is released: the
// table's destructor runs at unload, where no thread may be joined.
Platform::TCriticalSection RegistryLock;
std::map<int32_t, std::shared_ptr<TTermination>> Registry;  // RegistryLock
int32_t NextTermID = 1;                                      // RegistryLock

std::shared_ptr<TTermination> Find(int32_t TermID) {
  Platform::TLockGuard Guard(RegistryLock);
  const auto Found = Registry.find(TermID);
  return Found == Registry.end() ? nullptr : Found->second;
}

}  // namespace

extern "C" {

VELMORA_EXPORT int32_t VELMORA_STDCALL CreateTermination(const char* ConnectionText,
                                                         TTransportReceiveCallback Receive,
                                                         TTransportReceiveCallback AuxReceive,
                                                         TTransportStateCallback Disconnect,
                                                         TTransportStateCallback Connect,
                                                         int32_t* TermID, void* UserValue) {
  (void)AuxReceive;  // this transport has no second channel
  TConnectionSettings Settings;
  if (TermID == nullptr || !ParseConnectionText(ConnectionText, Settings)) return teINVALIDPARAMS;
  if (!Platform::StartSockets()) return teLASTERROR;
  TTerminationCallbacks Callbacks;
  Callbacks.Receive = Receive;
  Callbacks.Disconnect = Disconnect;
  Callbacks.Connect = Connect;
  Callbacks.UserValue = UserValue;
  Platform::TLockGuard Guard(RegistryLock);
  const int32_t Id = NextTermID++;
  Registry.emplace(Id, std::make_shared<TTermination>(Id, Settings, Callbacks));
  *TermID = Id;
  return teSUCCESS;
}

VELMORA_EXPORT int32_t VELMORA_STDCALL DestroyTermination(int32_t TermID) {
  const std::shared_ptr<TTermination> Termination = Find(TermID);
  if (!Termination) return teINVALIDPARAMS;
  // Stopped outside the table's lock: joining the connection thread may wait
  // for a callback that calls into the library.
  const int32_t Result = Termination->Stop();
  if (Result != teSUCCESS) return Result;
  {
    Platform::TLockGuard Guard(RegistryLock);
    Registry.erase(TermID);
  }
  Platform::StopSockets();
  return teSUCCESS;
}

VELMORA_EXPORT int32_t VELMORA_STDCALL ConnectToServer(int32_t TermID) {
  const std::shared_ptr<TTermination> Termination = Find(TermID);
  return Termination ? Termination->Connect() : teINVALIDPARAMS;
}

VELMORA_EXPORT int32_t VELMORA_STDCALL DisconnectFromServer(int32_t TermID) {
  const std::shared_ptr<TTermination> Termination = Find(TermID);
  return Termination ? Termination->Disconnect() : teINVALIDPARAMS;
}

VELMORA_EXPORT int32_t VELMORA_STDCALL SendToServer(int32_t TermID, const void* Data, int32_t Size) {
  const std::shared_ptr<TTermination> Termination = Find(TermID);
  return Termination ? Termination->Send(Data, Size) : teINVALIDPARAMS;
}

VELMORA_EXPORT int32_t VELMORA_STDCALL SetSendLoadInfoEvent(int32_t, void*) { return teNOTIMPLEMENTED; }

VELMORA_EXPORT int32_t VELMORA_STDCALL GetConnectionInfo(int32_t, void*, int32_t) { return teNOTIMPLEMENTED; }

VELMORA_EXPORT int32_t VELMORA_STDCALL GetDNSFistServerName(char*, int32_t) { return teNOTIMPLEMENTED; }

}  // extern "C"
