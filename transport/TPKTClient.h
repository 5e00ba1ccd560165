// TTPKTClient: one connection ("termination") of the transport library, with
// its properties, its connection state and its events; ETPKTClientError.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Sync.h"
#include "transport/ClientEvent.h"
#include "transport/ClientKeys.h"

// A failed operation of the transport client; carries only its message text.
class ETPKTClientError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Every call into the library runs under the foreign-call guard: a fault
// inside it (an access violation, an exception raised through the system)
// leaves the operation as Platform::EForeignFault, with the guard's text,
// instead of its result code; it is not offered to OnError (there is no code
// to cancel) and goes to the operation's caller like any other failure.
//
// Threads: one owner thread creates, configures, connects, disconnects and
// destroys the client; one worker thread may call Send and Connected; the
// library's threads run the notifications. The connection state crosses the
// threads in the three kernel events; TermID, DeactivateRequested and
// Destroying are atomic. The properties belong to the owner thread and change
// only while no connection is up.
//
// The library's callbacks reach the client through a key (ClientKeys), never
// through its address: a callback after the connection was destroyed, or
// after the client is gone, returns at once. A client lives on the heap only
// (Create, Free), so that one a callback is still inside can be kept whole.
class TTPKTClient {
public:
  // Operation codes reported to OnError.
  enum : uint8_t { opCreate = 0, opDestroy = 1, opActivate = 2, opDeactivate = 3, opSend = 4 };

  struct TFree {
    void operator()(TTPKTClient* Client) const noexcept { Free(Client); }
  };
  using TPointer = std::unique_ptr<TTPKTClient, TFree>;

  // Takes a reference to the transport library and a callback key; throws
  // the library's load errors (or that no key is left).
  static TPointer Create();
  // Destroys the connection (a failure is dropped here: call DestroyConnection
  // first to see it), makes the key stale and waits up to CallbackWaitMs for
  // callbacks still inside the client to leave; then releases the library
  // reference and the events and frees the client. When a callback is still
  // inside, the client is kept whole instead (its memory, events and library
  // reference), with one line saying so, and the result is false. A client
  // whose termination could not be destroyed is torn down but its memory is
  // kept: the library may still write its TermID field. Null is ignored.
  static bool Free(TTPKTClient* Client) noexcept;
  TTPKTClient(const TTPKTClient&) = delete;
  TTPKTClient& operator=(const TTPKTClient&) = delete;

  // Events; Sender is always this client. OnError may cancel a failure by
  // setting ErrorCode to 0. OnDisconnect may ask for deactivation.
  TClientEvent<TTPKTClient&, uint8_t, const std::string&, int32_t&> OnError;
  TClientEvent<TTPKTClient&, const void*, int32_t> OnAuxReceive;
  TClientEvent<TTPKTClient&, const void*, int32_t> OnReceive;
  TClientEvent<TTPKTClient&> OnConnect;
  TClientEvent<TTPKTClient&, bool&> OnDisconnect;

  // Properties. A setter stores a new value only while not Connected and
  // throws ETPKTClientError otherwise; an equal value (texts without regard
  // to ASCII case) is never a change.
  const std::string& LocalAddress() const { return FLocalAddress; }
  void SetLocalAddress(const std::string& Value);
  const std::string& RemoteAddress() const { return FRemoteAddress; }
  void SetRemoteAddress(const std::string& Value);
  uint16_t LocalPort() const { return FLocalPort; }
  void SetLocalPort(uint16_t Value);
  uint16_t RemotePort() const { return FRemotePort; }
  void SetRemotePort(uint16_t Value);
  bool NoTPKT() const { return FNoTPKT; }
  void SetNoTPKT(bool Value);

  // The library's identifier of the termination; -1 while there is none.
  int32_t TermID() const { return FTermID.load(); }
  // "local:port,remote:port", followed by ",NOTPKT=YES" when NoTPKT.
  std::string ConnectionString() const;

  void CreateConnection();
  // Deactivates a live connection and waits up to DisconnectWaitMs for the
  // library's disconnect notice, then destroys the termination.
  void DestroyConnection();
  void Activate();
  void Deactivate();
  void SetActive(bool Value);
  bool Connected() const { return ConnectedEvent.IsSet(); }
  // True when the library took the bytes. Waits up to TimeoutMs for the
  // connection; a deactivated client fails at once, and so does every send
  // once StopSending was called.
  bool Send(const void* Data, int32_t Size, uint32_t TimeoutMs);
  // The owner's stop has begun: from now on every Send fails at once with
  // teDISCONNECT, as after a deactivation, whatever the connection does, and
  // a Send waiting for the connection wakes and fails so. No library call;
  // for good (a client is not restarted).
  void StopSending();

  // Offers a failure to OnError, then raises ETPKTClientError unless the
  // handler cancelled it. SystemError is the thread's last error as it stood
  // when the failing call returned; it names the failure for code 1.
  void RaiseError(uint8_t Operation, const std::string& Message, int32_t ErrorCode,
                  uint32_t SystemError);

  // The longest wait of DestroyConnection for the disconnect notice.
  uint32_t DisconnectWaitMs() const { return FDisconnectWaitMs; }
  void SetDisconnectWaitMs(uint32_t Value) { FDisconnectWaitMs = Value; }
  // The longest wait of Free for callbacks still inside the client.
  uint32_t CallbackWaitMs() const { return FCallbackWaitMs; }
  void SetCallbackWaitMs(uint32_t Value) { FCallbackWaitMs = Value; }

private:
  TTPKTClient();
  ~TTPKTClient();
  // The library's notifications (on its threads). Each catches and drops
  // every failure inside it, its handler's log lines included: no exception
  // of ours can unwind into the library (in the 32-bit build one could not
  // even cross its frames), hence noexcept.
  static void VELMORA_STDCALL ReceiveCallback(int32_t Reserved, const void* Data, int32_t Size,
                                              void* UserValue) noexcept;
  static void VELMORA_STDCALL AuxReceiveCallback(int32_t Reserved, const void* Data, int32_t Size,
                                                 void* UserValue) noexcept;
  static void VELMORA_STDCALL DisconnectCallback(int32_t Reserved, void* UserValue) noexcept;
  static void VELMORA_STDCALL ConnectCallback(int32_t Reserved, void* UserValue) noexcept;
  void DoConnect();
  void DoDisconnect();

  // RaiseError with the operation's own message when Code is not 0.
  void Check(uint8_t Operation, int32_t Code, uint32_t SystemError);
  std::string OperationMessage(uint8_t Operation) const;
  void RefuseWhileConnected() const;

  // The field the library is handed (by pointer, in CreateTermination) and
  // may write for as long as the termination exists: a plain aligned 32-bit
  // integer to the library, the same in both builds. Written by the owner
  // thread (and the library), read by all.
  std::atomic<int32_t> FTermID{-1};
  // The callbacks' current key: the owner thread's (renewed with every
  // destroyed termination, so that a late callback of that one is stale).
  ClientKeys::TKey Key = 0;
  Platform::TEvent ConnectedEvent;     // on while the library reports the connection up
  Platform::TEvent DisconnectedEvent;  // on once the library reported it down
  Platform::TEvent DeactivatedEvent;   // on after Deactivate: sends fail at once
  std::atomic<bool> DeactivateRequested{false};  // library threads only
  std::atomic<bool> Destroying{false};  // written by the owner, read by library threads
  std::atomic<bool> SendingStopped{false};  // set once by the owner, read by the sender

  // Properties: the owner thread's.
  bool FNoTPKT = false;
  std::string FRemoteAddress;
  std::string FLocalAddress;
  uint16_t FRemotePort = 0;
  uint16_t FLocalPort = 0;
  uint32_t FDisconnectWaitMs = 5000;
  uint32_t FCallbackWaitMs = 2000;
};

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
                  alignof(std::atomic<int32_t>) == alignof(int32_t) &&
                  std::atomic<int32_t>::is_always_lock_free,
              "the library writes TermID as a plain 32-bit integer");
