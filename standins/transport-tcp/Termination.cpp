// The TCP transport's connection thread and the operations on one
// termination.
#include "standins/transport-tcp/Termination.h"

#include <string>

#include "platform/Errors.h"
#include "standins/net/Tpkt.h"

namespace {
constexpr uint32_t RetryDelayMs = 1000;    // between connection attempts
constexpr uint32_t ConnectTimeoutMs = 5000;
constexpr uint32_t PollSliceMs = 100;      // how often a wait looks at StopEvent
}  // namespace

TTermination::TTermination(int32_t Id, const TConnectionSettings& Settings,
                           const TTerminationCallbacks& Callbacks)
    : Id(Id), Settings(Settings), Callbacks(Callbacks) {}

TTermination::~TTermination() { Stop(); }

int32_t TTermination::Connect() {
  if (ThreadId.load() == Platform::CurrentThreadId()) {
    // Asked from a callback: the running thread simply keeps going.
    StopEvent.Reset();
    return teSUCCESS;
  }
  if (Thread) {
    if (!StopEvent.IsSet()) return teSUCCESS;  // connecting or connected already
    Thread->WaitForEnd();                      // a disconnected thread ends by itself
    Thread.reset();
    ThreadId.store(0);
  }
  StopEvent.Reset();
  auto Fresh = std::make_unique<Platform::TThread>();
  if (!Fresh->Create(&TTermination::ThreadBody, this)) return teLASTERROR;
  ThreadId.store(Fresh->Id());
  Thread = std::move(Fresh);
  Thread->Start();
  return teSUCCESS;
}

int32_t TTermination::Disconnect() {
  StopEvent.Set();
  Platform::TLockGuard Guard(StateLock);
  Up = false;
  Socket.Shutdown();  // wakes the reader and any blocked send
  return teSUCCESS;
}

int32_t TTermination::Stop() {
  if (ThreadId.load() == Platform::CurrentThreadId()) return teINVALIDPARAMS;
  Disconnect();
  if (Thread) {
    Thread->WaitForEnd();
    Thread.reset();
    ThreadId.store(0);
  }
  return teSUCCESS;
}

int32_t TTermination::Send(const void* Data, int32_t Size) {
  if (Size < 0 || (Data == nullptr && Size > 0)) return teINVALIDPARAMS;
  if (!Settings.NoTpkt && static_cast<size_t>(Size) > Net::TpktMaxPayload) return teINVALIDPARAMS;
  uint32_t Error = 0;
  {
    Platform::TLockGuard SendGuard(SendLock);
    {
      Platform::TLockGuard StateGuard(StateLock);
      if (!Up) return teDISCONNECT;
    }
    bool Sent = true;
    if (!Settings.NoTpkt) {
      const std::string Frame = Net::TpktFrame(Data, static_cast<size_t>(Size));
      Sent = Socket.SendWithin(Frame.data(), Frame.size(), Settings.SendTimeoutMs);
    } else if (Size > 0) {
      Sent = Socket.SendWithin(Data, static_cast<size_t>(Size), Settings.SendTimeoutMs);
    }
    if (Sent) return teSUCCESS;
    Error = Platform::LastSocketError();
    // A failed send may have put part of its bytes on the wire, and whatever
    // followed them would be read as the rest of the cut message: the
    // connection is dropped here, before any other send can go out, and the
    // connection thread reports the loss and connects again.
    Platform::TLockGuard StateGuard(StateLock);
    Up = false;
    Dropped.store(true);
    Socket.Shutdown();
  }
  // Set after the locks are left, so nothing overwrites it before the caller reads it.
  Platform::SetLastError(Error);
  return teLASTERROR;
}

void TTermination::ThreadBody(void* Context) { static_cast<TTermination*>(Context)->Run(); }

void TTermination::Run() {
  while (!StopEvent.IsSet()) {
    Platform::TSocket Fresh;
    if (Establish(Fresh) && Publish(Fresh)) {
      if (Callbacks.Connect != nullptr) Callbacks.Connect(Id, Callbacks.UserValue);
      ReadUntilLost();
      Retire();
      // A callback may ask to connect again (clearing StopEvent) or to stop.
      if (Callbacks.Disconnect != nullptr) Callbacks.Disconnect(Id, Callbacks.UserValue);
    } else {
      Fresh.Close();
    }
    if (StopEvent.IsSet()) break;
    StopEvent.Wait(RetryDelayMs);
  }
}

bool TTermination::Establish(Platform::TSocket& Fresh) {
  if (!Fresh.Open()) return false;
  if (Settings.LocalPort != 0) Fresh.SetReuseAddress();
  if (!Fresh.Bind(Settings.LocalAddress, Settings.LocalPort)) return false;
  Platform::TConnectState State = Fresh.BeginConnect(Settings.RemoteAddress, Settings.RemotePort);
  const uint64_t Deadline = Platform::TickCountMs() + ConnectTimeoutMs;
  while (State == Platform::TConnectState::Pending) {
    if (StopEvent.IsSet() || Platform::TickCountMs() >= Deadline) return false;
    State = Fresh.WaitConnect(PollSliceMs);
  }
  if (State != Platform::TConnectState::Connected) return false;
  Fresh.SetNoDelay();
  return true;
}

bool TTermination::Publish(Platform::TSocket& Fresh) {
  Platform::TLockGuard SendGuard(SendLock);
  Platform::TLockGuard StateGuard(StateLock);
  // A Disconnect that came while connecting wins: the connection is dropped
  // unannounced.
  if (StopEvent.IsSet()) return false;
  Socket = std::move(Fresh);
  Up = true;
  Dropped.store(false);
  return true;
}

void TTermination::ReadUntilLost() {
  Net::TTpktAssembler Assembler;
  std::string Message;
  char Buffer[16384];
  for (;;) {
    if (StopEvent.IsSet() || Dropped.load()) return;
    if (!Socket.WaitReadable(PollSliceMs)) continue;
    const int Read = Socket.Receive(Buffer, sizeof Buffer);
    if (Read <= 0) return;
    if (Settings.NoTpkt) {
      Deliver(Buffer, static_cast<size_t>(Read));
      continue;
    }
    Assembler.Append(Buffer, static_cast<size_t>(Read));
    for (;;) {
      const Net::TTpktAssembler::TNext Next = Assembler.Next(Message);
      if (Next == Net::TTpktAssembler::TNext::Incomplete) break;
      if (Next == Net::TTpktAssembler::TNext::Malformed) return;  // not our protocol: drop it
      Deliver(Message.data(), Message.size());
      if (StopEvent.IsSet() || Dropped.load()) return;
    }
  }
}

void TTermination::Deliver(const void* Data, size_t Size) {
  if (Callbacks.Receive != nullptr) {
    Callbacks.Receive(Id, Data, static_cast<int32_t>(Size), Callbacks.UserValue);
  }
}

void TTermination::Retire() {
  {
    Platform::TLockGuard StateGuard(StateLock);
    Up = false;
    Socket.Shutdown();  // fails a send that is blocked right now
  }
  Platform::TLockGuard SendGuard(SendLock);
  Platform::TLockGuard StateGuard(StateLock);
  Socket.Close();
}
