// The transport client: properties, connection life cycle, sending with a
// time-out, error reporting and the library's notifications.
#include "transport/TPKTClient.h"

#include <new>

#include "log/ProcessLog.h"
#include "platform/Errors.h"
#include "platform/ForeignCall.h"
#include "transport/TransportLibrary.h"

namespace {

// Messages of the failed operations (code page 1251), in operation order;
// the connection text and ")." follow each.
const char* const OperationPrefixes[] = {
    // "Не удалось создать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xF1\xEE\xE7\xE4\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (",
    // "Не удалось разрушить соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xF0\xE0\xE7\xF0\xF3\xF8\xE8\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (",
    // "Не удалось активировать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (",
    // "Не удалось деактивировать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC "
    "\xE4\xE5\xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (",
    // "Не удалось выслать данные на сервер ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE2\xFB\xF1\xEB\xE0\xF2\xFC "
    "\xE4\xE0\xED\xED\xFB\xE5 \xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0 (",
};

// "Нельзя изменить значение свойства когда соединение активно."
const char* const PropertyRefusal =
    "\xCD\xE5\xEB\xFC\xE7\xFF \xE8\xE7\xEC\xE5\xED\xE8\xF2\xFC \xE7\xED\xE0\xF7\xE5\xED\xE8\xE5 "
    "\xF1\xE2\xEE\xE9\xF1\xF2\xE2\xE0 \xEA\xEE\xE3\xE4\xE0 \xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 "
    "\xE0\xEA\xF2\xE8\xE2\xED\xEE.";

char AsciiLower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

bool SameTextAscii(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    if (AsciiLower(A[I]) != AsciiLower(B[I])) return false;
  }
  return true;
}

}  // namespace

TTPKTClient::TTPKTClient() {
  Key = ClientKeys::Register(this);
  try {
    LoadTransportLibrary();
  } catch (...) {
    ClientKeys::Retire(Key, 0);  // no termination yet: nothing can be inside
    ClientKeys::Release(Key);
    throw;
  }
}

// The termination is gone or outlived the client (Free); the key is retired.
TTPKTClient::~TTPKTClient() { UnloadTransportLibrary(); }

TTPKTClient::TPointer TTPKTClient::Create() { return TPointer(new TTPKTClient()); }

bool TTPKTClient::Free(TTPKTClient* Client) noexcept {
  if (Client == nullptr) return true;
  try {
    Client->DestroyConnection();
  } catch (...) {
    // Reported only to a caller of DestroyConnection; the release goes on.
  }
  const ClientKeys::TKey Key = Client->Key;
  if (!ClientKeys::Retire(Key, Client->FCallbackWaitMs)) {
    ClientKeys::Keep(Key, Client);
    Log("ERR: FS Client transport callback did not return: the client is kept in memory, "
        "not freed under it");
    return false;
  }
  const bool TerminationLeft = Client->TermID() != -1;
  Client->~TTPKTClient();
  if (TerminationLeft) {
    ClientKeys::Keep(Key, Client);  // storage only: the TermID field stays writable
  } else {
    ClientKeys::Release(Key);
    ::operator delete(Client);
  }
  return true;
}

// ----------------------------------------------------------------- properties

void TTPKTClient::RefuseWhileConnected() const {
  if (Connected()) throw ETPKTClientError(PropertyRefusal);
}

void TTPKTClient::SetLocalAddress(const std::string& Value) {
  if (SameTextAscii(Value, FLocalAddress)) return;
  RefuseWhileConnected();
  FLocalAddress = Value;
}

void TTPKTClient::SetRemoteAddress(const std::string& Value) {
  if (SameTextAscii(Value, FRemoteAddress)) return;
  RefuseWhileConnected();
  FRemoteAddress = Value;
}

void TTPKTClient::SetLocalPort(uint16_t Value) {
  if (Value == FLocalPort) return;
  RefuseWhileConnected();
  FLocalPort = Value;
}

void TTPKTClient::SetRemotePort(uint16_t Value) {
  if (Value == FRemotePort) return;
  RefuseWhileConnected();
  FRemotePort = Value;
}

void TTPKTClient::SetNoTPKT(bool Value) {
  if (Value == FNoTPKT) return;
  RefuseWhileConnected();
  FNoTPKT = Value;
}

std::string TTPKTClient::ConnectionString() const {
  std::string Text = FLocalAddress + ":" + std::to_string(FLocalPort) + "," + FRemoteAddress + ":" +
                     std::to_string(FRemotePort);
  if (FNoTPKT) Text += ",NOTPKT=YES";
  return Text;
}

// ------------------------------------------------------------ life cycle

void TTPKTClient::CreateConnection() {
  // The library writes the new identifier into the field itself, during the
  // call or later, and may keep the pointer while the termination exists. A
  // refusal, or a fault inside the call, counts as nothing created: TermID
  // is what it was before (-1 unless a termination was already there),
  // whatever the library wrote.
  const std::string Connection = ConnectionString();
  const int32_t Before = FTermID.load();
  int32_t Code;
  try {
    Code = Platform::CallForeign(TransportEntries().CreateTermination, Connection.c_str(),
                                 &ReceiveCallback, &AuxReceiveCallback, &DisconnectCallback,
                                 &ConnectCallback, reinterpret_cast<int32_t*>(&FTermID),
                                 reinterpret_cast<void*>(Key));
  } catch (...) {
    FTermID = Before;
    throw;
  }
  const uint32_t SystemError = Platform::LastError();
  if (Code != 0) FTermID = Before;
  Check(opCreate, Code, SystemError);
}

void TTPKTClient::DestroyConnection() {
  if (FTermID == -1) return;
  if (Connected()) {
    Destroying = true;
    try {
      Deactivate();
    } catch (...) {
      Destroying = false;
      throw;
    }
    // A library that never reports the connection down must not hold the
    // owner thread for ever: the termination is destroyed all the same.
    DisconnectedEvent.Wait(FDisconnectWaitMs);
    Destroying = false;
  }
  const int32_t Code = Platform::CallForeign(TransportEntries().DestroyTermination, FTermID.load());
  const uint32_t SystemError = Platform::LastError();
  if (Code == 0) {
    FTermID = -1;
    // The identifier is no longer valid: a callback of that termination
    // from now on is a late one.
    Key = ClientKeys::Renew(Key);
  }
  Check(opDestroy, Code, SystemError);
}

void TTPKTClient::Activate() {
  ConnectedEvent.Reset();
  DisconnectedEvent.Reset();
  DeactivatedEvent.Reset();
  const int32_t Code = Platform::CallForeign(TransportEntries().ConnectToServer, FTermID.load());
  Check(opActivate, Code, Platform::LastError());
}

void TTPKTClient::Deactivate() {
  DeactivatedEvent.Set();
  const int32_t Code =
      Platform::CallForeign(TransportEntries().DisconnectFromServer, FTermID.load());
  Check(opDeactivate, Code, Platform::LastError());
}

void TTPKTClient::SetActive(bool Value) {
  if (!Value) {
    Deactivate();
    return;
  }
  if (Connected()) return;
  if (FTermID == -1) CreateConnection();
  Activate();
}

void TTPKTClient::StopSending() {
  SendingStopped = true;
  DeactivatedEvent.Set();  // wakes a send waiting for the connection
}

bool TTPKTClient::Send(const void* Data, int32_t Size, uint32_t TimeoutMs) {
  int32_t Code;
  uint32_t SystemError = 0;
  // Stopped for good: a connect notice may have reset DeactivatedEvent since.
  // Connected is looked at first, as the wait on both would report it when
  // both are on; while it is on the answer needs no wait (IsSet makes no
  // kernel call), so a send on an established connection costs none.
  const Platform::TWhichEvent Ready =
      SendingStopped           ? Platform::TWhichEvent::Second
      : ConnectedEvent.IsSet() ? Platform::TWhichEvent::First
                               : Platform::WaitForEither(ConnectedEvent, DeactivatedEvent, TimeoutMs);
  switch (Ready) {
    case Platform::TWhichEvent::First:
      Code = Platform::CallForeign(TransportEntries().SendToServer, FTermID.load(), Data, Size);
      SystemError = Platform::LastError();
      break;
    case Platform::TWhichEvent::Second:
      Code = teDISCONNECT;
      break;
    default:
      Code = teCONNECTTIMEOUTED;
      break;
  }
  Check(opSend, Code, SystemError);
  return Code == 0;
}

// ------------------------------------------------------------------ errors

std::string TTPKTClient::OperationMessage(uint8_t Operation) const {
  return OperationPrefixes[Operation] + ConnectionString() + ").";
}

void TTPKTClient::Check(uint8_t Operation, int32_t Code, uint32_t SystemError) {
  if (Code != 0) RaiseError(Operation, OperationMessage(Operation), Code, SystemError);
}

void TTPKTClient::RaiseError(uint8_t Operation, const std::string& Message, int32_t ErrorCode,
                             uint32_t SystemError) {
  // The handler may write a log line and so change the thread's last error:
  // the system error was taken before it ran.
  OnError.Fire(*this, Operation, Message, ErrorCode);
  if (ErrorCode == 0) return;
  if (ErrorCode == teLASTERROR) {
    throw ETPKTClientError(Message + "Win32 Error: " + Platform::TrimmedSystemText(SystemError) +
                           "(" + std::to_string(static_cast<int32_t>(SystemError)) + ")");
  }
  throw ETPKTClientError(Message + " " + TransportErrorName(ErrorCode) + "(" +
                         std::to_string(ErrorCode) + ")");
}

// ----------------------------------------------------------- notifications

void TTPKTClient::DoConnect() {
  DeactivateRequested = false;
  ConnectedEvent.Set();
  DisconnectedEvent.Reset();
  DeactivatedEvent.Reset();
  OnConnect.Fire(*this);
}

void TTPKTClient::DoDisconnect() {
  if (DeactivateRequested) return;  // deactivation asked for: ignored until the next connect
  DeactivateRequested = false;
  bool Requested = false;
  try {
    // The handler still sees Connected when the connection had been up.
    OnDisconnect.Fire(*this, Requested);
  } catch (...) {
    DeactivateRequested = Requested;
    throw;
  }
  DeactivateRequested = Requested;
  if (!Destroying && Requested) Deactivate();
  ConnectedEvent.Reset();
  DisconnectedEvent.Set();
}

// Each callback passes through its key first: a stale one (the termination
// destroyed, the client gone) returns at once, touching nothing but the key's
// slot; a live one holds the client from being freed until it returns.
void VELMORA_STDCALL TTPKTClient::ReceiveCallback(int32_t, const void* Data, int32_t Size,
                                                  void* UserValue) noexcept {
  try {
    const ClientKeys::TPassage Passage(UserValue, "ReceiveCallback");
    if (TTPKTClient* Client = Passage.Client()) Client->OnReceive.Fire(*Client, Data, Size);
  } catch (...) {
    // Nothing may reach the library.
  }
}

void VELMORA_STDCALL TTPKTClient::AuxReceiveCallback(int32_t, const void* Data, int32_t Size,
                                                     void* UserValue) noexcept {
  try {
    const ClientKeys::TPassage Passage(UserValue, "AuxReceiveCallback");
    if (TTPKTClient* Client = Passage.Client()) Client->OnAuxReceive.Fire(*Client, Data, Size);
  } catch (...) {
    // Nothing may reach the library.
  }
}

void VELMORA_STDCALL TTPKTClient::DisconnectCallback(int32_t, void* UserValue) noexcept {
  try {
    const ClientKeys::TPassage Passage(UserValue, "DisconnectCallback");
    if (TTPKTClient* Client = Passage.Client()) Client->DoDisconnect();
  } catch (...) {
    // Nothing may reach the library; the notice ends where it failed.
  }
}

void VELMORA_STDCALL TTPKTClient::ConnectCallback(int32_t, void* UserValue) noexcept {
  try {
    const ClientKeys::TPassage Passage(UserValue, "ConnectCallback");
    if (TTPKTClient* Client = Passage.Client()) Client->DoConnect();
  } catch (...) {
    // Nothing may reach the library.
  }
}
