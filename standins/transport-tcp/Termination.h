// One termination of the TCP transport: the connection to one server, kept
// up by its own connection thread, which connects, reads, delivers messages
// and reconnects after a loss until it is told to stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Socket.h"
#include "standins/transport-tcp/ConnectionText.h"
#include "transport/TransportApi.h"

struct TTerminationCallbacks {
  TTransportReceiveCallback Receive = nullptr;
  TTransportStateCallback Disconnect = nullptr;
  TTransportStateCallback Connect = nullptr;
  void* UserValue = nullptr;
};

// Threads: Connect, Disconnect and Stop come from the host's thread (Disconnect
// and Connect also from a callback on the connection thread); Send from any one
// sending thread at a time; every callback runs on the connection thread, and
// none runs once Stop has returned.
class TTermination {
public:
  TTermination(int32_t Id, const TConnectionSettings& Settings, const TTerminationCallbacks& Callbacks);
  ~TTermination();  // Stop
  TTermination(const TTermination&) = delete;
  TTermination& operator=(const TTermination&) = delete;

  // Starts the connection thread unless it runs already. Transport code.
  int32_t Connect();
  // Closes the connection and ends retrying; the connection thread reports the
  // loss of an established connection and ends. Never waits.
  int32_t Disconnect();
  // Frames and sends one message, waiting at most the send time-out in all
  // for the server to take it. 8 while not connected; 3 for a bad block; 1
  // with the socket error as the thread's last error when sending fails or
  // times out. A failed send drops the connection (part of its message may
  // have gone out): no later send goes out on it, and the connection thread
  // reports the loss and connects again, as after any loss.
  int32_t Send(const void* Data, int32_t Size);
  // Disconnect and wait for the connection thread to end. 3 (and nothing
  // done) when called on the connection thread itself.
  int32_t Stop();

private:
  static void ThreadBody(void* Context);
  void Run();
  bool Establish(Platform::TSocket& Fresh);
  bool Publish(Platform::TSocket& Fresh);
  void ReadUntilLost();
  void Deliver(const void* Data, size_t Size);
  void Retire();

  const int32_t Id;
  const TConnectionSettings Settings;
  const TTerminationCallbacks Callbacks;

  // Host thread only.
  std::unique_ptr<Platform::TThread> Thread;
  // Id of the running connection thread, 0 when none: lets a callback that
  // calls back into the library be told apart from the host.
  std::atomic<uint32_t> ThreadId{0};
  // Set by Disconnect and Stop, reset when a connection thread starts (or a
  // callback asks to connect again): the connection thread winds down.
  Platform::TEvent StopEvent;

  // Lock order: SendLock before StateLock. SendLock serialises sends with
  // the closing of Socket, so a send never uses a closed handle; StateLock
  // guards Up and the opening/closing of Socket's handle, and is held only
  // briefly.
  Platform::TCriticalSection SendLock;
  Platform::TCriticalSection StateLock;
  // The established connection. Opened and closed only by the connection
  // thread while it holds both locks; read there without a lock, by Send under
  // SendLock, by Disconnect (to shut it down) under StateLock.
  Platform::TSocket Socket;
  bool Up = false;  // StateLock: connected and not being disconnected
  // Set by a failed send (under StateLock, with Up cleared), cleared when a
  // connection is published: the connection thread ends this connection as
  // lost even while the server keeps sending.
  std::atomic<bool> Dropped{false};
};
