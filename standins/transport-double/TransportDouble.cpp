// The transport double: a "cl_vexo_transport.dll" for tests. It records every
// call with its arguments, returns scripted results or faults, and delivers
// the notifications tests ask for on a thread of its own, as the real library
// calls back on its threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AdaptiveSpin.h"
#include "platform/Errors.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/testing/WakeFlag.h"
#include "standins/transport-double/DoubleControl.h"
#include "transport/TransportApi.h"

#define DOUBLE_ENTRY extern "C" VELMORA_EXPORT

namespace {

struct TTermination {
  int32_t TermID;
  TTransportReceiveCallback Receive;
  TTransportReceiveCallback AuxReceive;
  TTransportStateCallback Disconnect;
  TTransportStateCallback Connect;
  void* UserValue;
  bool Up;  // as of the notices queued so far
  int32_t* TermIDField;  // where CreateTermination stored the identifier (kept)
};

// Callbacks made on a thread of their own, with no regard for the
// termination's life (Double_SetLateNotices, Double_StreamReceive).
struct TStray {
  TTermination Target{};
  // Late notices: the kinds (DoubleLate* bits), each Repeat times, DelayMs
  // after the termination was destroyed.
  int32_t Kinds = 0;
  int32_t DelayMs = 0;
  int32_t Repeat = 1;
  // A stream: Bytes as receive notices until AfterDestroyMs after the
  // termination was destroyed; one a millisecond until its disconnection or
  // destruction begins, back to back from then on.
  bool Stream = false;
  std::string Bytes;
  int32_t AfterDestroyMs = 0;
  std::atomic<bool> Hurry{false};
  std::atomic<uint64_t> DestroyedAt{0};  // tick count; 0 while the termination exists
  Platform::TThread Thread;
};

struct TScript {
  int32_t Code = 0;
  uint32_t LastError = 0;
};

enum class TNoticeKind { Stop, Connect, Disconnect, Receive, AuxReceive };

struct TNotice {
  TNoticeKind Kind;
  int32_t TermID;
  std::string Bytes;
  // Released once delivered, when someone waits. (A semaphore, not an event:
  // the posix events share a hub that lives until the process ends, which an
  // unloadable library must not leave behind.)
  std::shared_ptr<Platform::TSemaphore> Done;
  // Receive notices: how many times the bytes are delivered, back to back.
  int32_t Repeat = 1;
};

// All state of the double, made on first use and destroyed when the library
// is unloaded (the notifier must have ended by then: DestroyTermination of
// the last termination and Double_Reset end it).
struct TDouble {
  Platform::TCriticalSection Lock;  // guards everything below but Delivery
  std::vector<TTermination> Terminations;
  int32_t NextTermID = 100;
  std::map<std::string, TScript, std::less<>> Scripts;
  std::vector<std::string> Calls;
  // Off only for benchmarks, which must not measure the double's own record.
  bool RecordCalls = true;
  std::string LastSendBytes;
  int32_t LastSendSize = -1;
  bool AutoConnect = false;
  bool AutoDisconnect = false;
  bool AutoEcho = false;
  uint8_t EchoErrorByte = 0;
  std::string EchoExtra;

  std::deque<TNotice> Notices;
  // Notices queued less notices the notifier has claimed: the notifier waits
  // on Pending only when it finds none ready (the value then -1), and a
  // queuer wakes it only when it finds it waiting, so a steady stream of
  // echoes costs the double no wake-up at all. Changed by queuers under Lock.
  // Pending is a wake flag, not a semaphore: a sleeping notifier is woken
  // without a kernel object (under Wine, without a wineserver round trip),
  // so the benchmarks measure the relay's kernel calls, not the double's.
  // One wake is enough: only the notifier takes Ready below zero, once per
  // wait, so at most one queuer per wait finds it negative.
  std::atomic<int32_t> Ready{0};
  Platform::TWakeFlag Pending;
  std::atomic<int32_t> PollMicroseconds{0};  // see Double_SetPolling
  std::unique_ptr<Platform::TThread> Notifier;
  // Held by the notifier while it runs a callback: DestroyTermination passes
  // through it so that no callback runs once it returned (unless Careless).
  Platform::TCriticalSection Delivery;
  // Late notices asked for (Double_SetLateNotices), and the stray threads
  // started so far with the callbacks they made. Careless: DestroyTermination
  // waits for no callback, as a library that does not synchronise them.
  bool Careless = false;
  int32_t LateKinds = 0;
  int32_t LateDelayMs = 0;
  int32_t LateRepeat = 1;
  std::vector<std::unique_ptr<TStray>> Strays;
  std::atomic<int32_t> StrayCalls{0};

  TDouble() = default;
  TDouble(const TDouble&) = delete;
  TDouble& operator=(const TDouble&) = delete;
  ~TDouble() {
    // A notifier still running cannot be joined while the library goes:
    // its thread object is abandoned rather than destroyed under it.
    if (Notifier) (void)Notifier.release();
  }
};

TDouble& State() {
  static TDouble Instance;
  return Instance;
}

// Faults scripted per entry (Double_SetFault): the calls still to fault, -1
// for every call. Atomic and read before any lock is taken: the frames of a
// faulting entry are abandoned, so it must hold none of the double's locks.
struct TFaultScript {
  const char* Entry;
  std::atomic<int32_t> Left;
};
enum : size_t { FaultCreate, FaultDestroy, FaultConnect, FaultDisconnect, FaultSend };
TFaultScript FaultScripts[] = {{"CreateTermination", 0},
                               {"DestroyTermination", 0},
                               {"ConnectToServer", 0},
                               {"DisconnectFromServer", 0},
                               {"SendToServer", 0}};

TFaultScript* FindFaultScript(std::string_view Entry) {
  for (TFaultScript& Script : FaultScripts) {
    if (Entry == Script.Entry) return &Script;
  }
  return nullptr;
}

// Address 16 lies in the first 64 KiB, which Windows never maps.
volatile uintptr_t FaultAddress = 16;

// Takes one fault off Script's count; true when this call is to fault.
bool FaultDue(TFaultScript& Script) {
  int32_t Left = Script.Left.load();
  while (Left != 0) {
    if (Left < 0 || Script.Left.compare_exchange_weak(Left, Left - 1)) return true;
  }
  return false;
}

// When a fault of Entry is due: records the call (Arguments() gives its
// arguments' text) and writes to address 16. Called first in each entry, so
// that nothing of the entry is alive when it faults.
template <typename TArguments>
void FaultWhenDue(TFaultScript& Script, TArguments Arguments) {
  if (!FaultDue(Script)) return;
  {
    TDouble& D = State();
    Platform::TLockGuard Guard(D.Lock);
    if (D.RecordCalls) D.Calls.push_back(std::string(Script.Entry) + "(" + Arguments() + ")");
  }
  *reinterpret_cast<volatile int*>(FaultAddress) = 1;
}

std::string Hex(const void* Data, int32_t Size) {
  static const char Digits[] = "0123456789abcdef";
  std::string Text;
  const auto* Bytes = static_cast<const unsigned char*>(Data);
  for (int32_t I = 0; I < Size; ++I) {
    Text += Digits[Bytes[I] >> 4];
    Text += Digits[Bytes[I] & 15];
  }
  return Text;
}

// Records the call (while recording is on) and returns its scripted result,
// setting the last error for code 1. Lock held by the caller.
int32_t Called(TDouble& D, const char* Entry, const std::string& Arguments) {
  if (D.RecordCalls) D.Calls.push_back(std::string(Entry) + "(" + Arguments + ")");
  const auto Found = D.Scripts.find(std::string_view(Entry));
  const TScript Script = Found != D.Scripts.end() ? Found->second : TScript{};
  // The thread's last error is the process's: the caller reads this code.
  if (Script.Code == teLASTERROR) Platform::SetLastError(Script.LastError);
  return Script.Code;
}

TTermination* Find(TDouble& D, int32_t TermID) {
  for (TTermination& Termination : D.Terminations) {
    if (Termination.TermID == TermID) return &Termination;
  }
  return nullptr;
}

void Deliver(TDouble& D, const TNotice& Notice) {
  Platform::TLockGuard DeliveryGuard(D.Delivery);
  TTermination Target{};
  {
    Platform::TLockGuard Guard(D.Lock);
    const TTermination* Found = Find(D, Notice.TermID);
    if (Found == nullptr) return;  // destroyed meanwhile: the notice is dropped
    Target = *Found;
  }
  const auto Size = static_cast<int32_t>(Notice.Bytes.size());
  switch (Notice.Kind) {
    case TNoticeKind::Connect:
      Target.Connect(Target.TermID, Target.UserValue);
      break;
    case TNoticeKind::Disconnect:
      Target.Disconnect(Target.TermID, Target.UserValue);
      break;
    case TNoticeKind::Receive:
      for (int32_t I = 0; I < Notice.Repeat; ++I) {
        Target.Receive(Target.TermID, Notice.Bytes.data(), Size, Target.UserValue);
      }
      break;
    case TNoticeKind::AuxReceive:
      Target.AuxReceive(Target.TermID, Notice.Bytes.data(), Size, Target.UserValue);
      break;
    case TNoticeKind::Stop:
      break;
  }
}

// With polling on, looks for a ready notice for a while before the
// notifier claims one (and so sleeps when there is none).
void PollForNotice(TDouble& D) {
  const int32_t Limit = D.PollMicroseconds.load(std::memory_order_relaxed);
  if (Limit <= 0) return;
  const auto Until = std::chrono::steady_clock::now() + std::chrono::microseconds(Limit);
  while (D.Ready.load() <= 0 && std::chrono::steady_clock::now() < Until) Platform::SleepMs(0);
}

void NotifierBody(void*) {
  TDouble& D = State();
  // As the relay's worker does before its wait, so that a benchmark measures
  // the relay's hand-offs, not this thread's wake-ups.
  Platform::TAdaptiveSpin Spin(Platform::TAdaptiveSpin::DefaultLimitUs);
  for (;;) {
    PollForNotice(D);
    if (D.Ready.load(std::memory_order_relaxed) <= 0) {
      Spin.SpinFor([&D] { return D.Ready.load(std::memory_order_relaxed) > 0; });
    }
    if (D.Ready.fetch_sub(1) <= 0) {
      Spin.SleepBegins();
      D.Pending.Wait();
      Spin.SleepEnds(true);
    }
    TNotice Notice;
    {
      Platform::TLockGuard Guard(D.Lock);
      Notice = std::move(D.Notices.front());
      D.Notices.pop_front();
    }
    if (Notice.Kind == TNoticeKind::Stop) return;
    Deliver(D, Notice);
    if (Notice.Done) Notice.Done->Release();
  }
}

// Queues a notice, starting the notifier when it is not running. Lock held.
void Queue(TDouble& D, TNotice Notice) {
  if (!D.Notifier) {
    auto Thread = std::make_unique<Platform::TThread>();
    if (!Thread->Create(&NotifierBody, nullptr) || !Thread->Start()) return;
    D.Notifier = std::move(Thread);
  }
  TTermination* Termination = Find(D, Notice.TermID);
  if (Termination != nullptr && Notice.Kind == TNoticeKind::Connect) Termination->Up = true;
  if (Termination != nullptr && Notice.Kind == TNoticeKind::Disconnect) Termination->Up = false;
  D.Notices.push_back(std::move(Notice));
  if (D.Ready.fetch_add(1) < 0) D.Pending.Wake();
}

// Ends the notifier after the notices queued before. Not on the notifier.
void StopNotifier(TDouble& D) {
  std::unique_ptr<Platform::TThread> Thread;
  {
    Platform::TLockGuard Guard(D.Lock);
    if (!D.Notifier || D.Notifier->Id() == Platform::CurrentThreadId()) return;
    D.Notices.push_back(TNotice{TNoticeKind::Stop, 0, std::string(), nullptr});
    if (D.Ready.fetch_add(1) < 0) D.Pending.Wake();
    Thread = std::move(D.Notifier);
  }
  Thread->WaitForEnd();
}

void StrayBody(void* Context) {
  TStray& Stray = *static_cast<TStray*>(Context);
  TDouble& D = State();
  const TTermination& T = Stray.Target;
  const auto Size = static_cast<int32_t>(Stray.Bytes.size());
  if (Stray.Stream) {
    const uint64_t GiveUp = Platform::TickCountMs() + 10000;
    for (;;) {
      const uint64_t Now = Platform::TickCountMs();
      const uint64_t Destroyed = Stray.DestroyedAt.load();
      if (Now >= GiveUp || (Destroyed != 0 && Now >= Destroyed + Stray.AfterDestroyMs)) return;
      T.Receive(T.TermID, Stray.Bytes.data(), Size, T.UserValue);
      D.StrayCalls.fetch_add(1);
      if (!Stray.Hurry.load()) Platform::SleepMs(1);
    }
  }
  Platform::SleepMs(static_cast<uint32_t>(Stray.DelayMs));
  for (int32_t I = 0; I < Stray.Repeat; ++I) {
    if (Stray.Kinds & DoubleLateConnect) T.Connect(T.TermID, T.UserValue);
    if (Stray.Kinds & DoubleLateDisconnect) T.Disconnect(T.TermID, T.UserValue);
    if (Stray.Kinds & DoubleLateReceive) T.Receive(T.TermID, "\x06\x00", 2, T.UserValue);
    if (Stray.Kinds & DoubleLateAuxReceive) T.AuxReceive(T.TermID, "aux", 3, T.UserValue);
    D.StrayCalls.fetch_add(1);
  }
}

// Starts a stray thread; false when it cannot be started. Lock held.
bool StartStray(TDouble& D, std::unique_ptr<TStray> Stray) {
  TStray* const Started = Stray.get();
  D.Strays.push_back(std::move(Stray));
  if (Started->Thread.Create(&StrayBody, Started) && Started->Thread.Start()) return true;
  D.Strays.pop_back();
  return false;
}

// Waits for every stray thread to end (each ends on its own within 10 s).
void EndStrays(TDouble& D) {
  std::vector<std::unique_ptr<TStray>> Ending;
  {
    Platform::TLockGuard Guard(D.Lock);
    Ending.swap(D.Strays);
  }
  for (auto& Stray : Ending) Stray->Thread.WaitForEnd();
}

// A stream's termination begins to go (Hurry) or is gone (Destroyed). Lock held.
void MarkStreams(TDouble& D, int32_t TermID, bool Destroyed) {
  for (auto& Stray : D.Strays) {
    if (!Stray->Stream || Stray->Target.TermID != TermID) continue;
    Stray->Hurry.store(true);
    if (Destroyed) Stray->DestroyedAt.store(Platform::TickCountMs());
  }
}

// Delivers one notice (Repeat times, for a receive) to the newest
// termination and waits until it is done.
int32_t Fire(TNoticeKind Kind, const void* Data, int32_t Size, int32_t Repeat = 1,
             uint32_t WaitMs = 10000) {
  TDouble& D = State();
  auto Done = std::make_shared<Platform::TSemaphore>(0, 1);
  {
    Platform::TLockGuard Guard(D.Lock);
    if (D.Terminations.empty()) return 0;
    std::string Bytes;
    if (Data != nullptr && Size > 0) Bytes.assign(static_cast<const char*>(Data), Size);
    Queue(D, TNotice{Kind, D.Terminations.back().TermID, std::move(Bytes), Done, Repeat});
  }
  return Done->Wait(WaitMs) == Platform::TWaitResult::Signaled ? 1 : 0;
}

}  // namespace

// ------------------------------------------------------- the library's entries

DOUBLE_ENTRY int32_t VELMORA_STDCALL CreateTermination(const char* ConnectionText,
                                                       TTransportReceiveCallback Receive,
                                                       TTransportReceiveCallback AuxReceive,
                                                       TTransportStateCallback Disconnect,
                                                       TTransportStateCallback Connect,
                                                       int32_t* TermID, void* UserValue) {
  FaultWhenDue(FaultScripts[FaultCreate],
               [&] { return std::string(ConnectionText != nullptr ? ConnectionText : "null"); });
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  const int32_t Code =
      Called(D, "CreateTermination", ConnectionText != nullptr ? ConnectionText : "null");
  if (Code != 0) return Code;
  const int32_t NewID = D.NextTermID++;
  D.Terminations.push_back(
      TTermination{NewID, Receive, AuxReceive, Disconnect, Connect, UserValue, false, TermID});
  // Other threads of the client read the field while the library may write
  // it: an atomic store, as an aligned 32-bit store on the target is.
  std::atomic_ref<int32_t>(*TermID).store(NewID);
  return 0;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL DestroyTermination(int32_t TermID) {
  FaultWhenDue(FaultScripts[FaultDestroy], [&] { return std::to_string(TermID); });
  TDouble& D = State();
  bool NoneLeft = false;
  bool Careless = false;
  {
    Platform::TLockGuard Guard(D.Lock);
    const int32_t Code = Called(D, "DestroyTermination", std::to_string(TermID));
    if (Code != 0) return Code;
    for (auto It = D.Terminations.begin(); It != D.Terminations.end(); ++It) {
      if (It->TermID == TermID) {
        if (D.LateKinds != 0) {
          auto Late = std::make_unique<TStray>();
          Late->Target = *It;
          Late->Kinds = D.LateKinds;
          Late->DelayMs = D.LateDelayMs;
          Late->Repeat = D.LateRepeat;
          StartStray(D, std::move(Late));
        }
        D.Terminations.erase(It);
        break;
      }
    }
    MarkStreams(D, TermID, true);
    NoneLeft = D.Terminations.empty();
    Careless = D.Careless;
  }
  if (Careless) return 0;  // no wait for a callback, nor for the notifier's end (Reset)
  {
    // A callback running now ends before the termination counts as gone.
    Platform::TLockGuard Barrier(D.Delivery);
  }
  if (NoneLeft) StopNotifier(D);
  return 0;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL ConnectToServer(int32_t TermID) {
  FaultWhenDue(FaultScripts[FaultConnect], [&] { return std::to_string(TermID); });
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  const int32_t Code = Called(D, "ConnectToServer", std::to_string(TermID));
  if (Code == 0 && D.AutoConnect && Find(D, TermID) != nullptr) {
    Queue(D, TNotice{TNoticeKind::Connect, TermID, std::string(), nullptr});
  }
  return Code;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL DisconnectFromServer(int32_t TermID) {
  FaultWhenDue(FaultScripts[FaultDisconnect], [&] { return std::to_string(TermID); });
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  const int32_t Code = Called(D, "DisconnectFromServer", std::to_string(TermID));
  MarkStreams(D, TermID, false);
  const TTermination* Termination = Find(D, TermID);
  if (Code == 0 && D.AutoDisconnect && Termination != nullptr && Termination->Up) {
    Queue(D, TNotice{TNoticeKind::Disconnect, TermID, std::string(), nullptr});
  }
  return Code;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL SendToServer(int32_t TermID, const void* Data, int32_t Size) {
  FaultWhenDue(FaultScripts[FaultSend], [&] {
    return std::to_string(TermID) + "," +
           (Data == nullptr ? "null" : Hex(Data, Size > 0 ? Size : 0)) + "," +
           std::to_string(Size);
  });
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  const bool HasBytes = Data != nullptr && Size > 0;
  const int32_t Code =
      Called(D, "SendToServer",
             !D.RecordCalls ? std::string()
                            : std::to_string(TermID) + "," +
                                  (Data == nullptr ? "null" : Hex(Data, HasBytes ? Size : 0)) + "," +
                                  std::to_string(Size));
  D.LastSendSize = Size;
  if (HasBytes) {
    D.LastSendBytes.assign(static_cast<const char*>(Data), static_cast<size_t>(Size));
  } else {
    D.LastSendBytes.clear();
  }
  if (Code == 0 && D.AutoEcho && HasBytes && Find(D, TermID) != nullptr) {
    std::string Reply;
    Reply.reserve(D.LastSendBytes.size() + 1 + D.EchoExtra.size());
    Reply += D.LastSendBytes[0];
    Reply += static_cast<char>(D.EchoErrorByte);
    Reply.append(D.LastSendBytes, 1).append(D.EchoExtra);
    Queue(D, TNotice{TNoticeKind::Receive, TermID, std::move(Reply), nullptr});
  }
  return Code;
}

// Required by the contract, never called by the client.
DOUBLE_ENTRY int32_t VELMORA_STDCALL SetSendLoadInfoEvent(int32_t, void*) { return teNOTIMPLEMENTED; }
DOUBLE_ENTRY int32_t VELMORA_STDCALL GetConnectionInfo(int32_t, void*, int32_t) {
  return teNOTIMPLEMENTED;
}
#ifndef VELMORA_DOUBLE_WITHOUT_DNS
DOUBLE_ENTRY int32_t VELMORA_STDCALL GetDNSFistServerName(char*, int32_t) {
  return teNOTIMPLEMENTED;
}
#endif

// ----------------------------------------------------------- control entries

DOUBLE_ENTRY void VELMORA_STDCALL Double_Reset() {
  for (TFaultScript& Script : FaultScripts) Script.Left.store(0);
  TDouble& D = State();
  StopNotifier(D);
  EndStrays(D);
  Platform::TLockGuard Guard(D.Lock);
  D.Careless = false;
  D.LateKinds = 0;
  D.StrayCalls.store(0);
  D.Terminations.clear();
  D.NextTermID = 100;
  D.Scripts.clear();
  D.Calls.clear();
  D.RecordCalls = true;
  D.LastSendBytes.clear();
  D.LastSendSize = -1;
  D.AutoConnect = D.AutoDisconnect = D.AutoEcho = false;
  D.EchoExtra.clear();
  D.PollMicroseconds.store(0);
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_ClearLog() {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.Calls.clear();
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetRecordCalls(int32_t Enabled) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.RecordCalls = Enabled != 0;
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetPolling(int32_t Microseconds) {
  State().PollMicroseconds.store(Microseconds > 0 ? Microseconds : 0);
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetResult(const char* Entry, int32_t Code,
                                                  uint32_t LastError) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.Scripts[Entry] = TScript{Code, LastError};
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetFault(const char* Entry, int32_t Count) {
  TFaultScript* Script = Entry != nullptr ? FindFaultScript(Entry) : nullptr;
  if (Script != nullptr) Script->Left.store(Count < 0 ? -1 : Count);
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_FireConnect() {
  return Fire(TNoticeKind::Connect, nullptr, 0);
}
DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_FireDisconnect() {
  return Fire(TNoticeKind::Disconnect, nullptr, 0);
}
DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_FireReceive(const void* Data, int32_t Size) {
  return Fire(TNoticeKind::Receive, Data, Size);
}
DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_FloodReceive(const void* Data, int32_t Size,
                                                         int32_t Count) {
  return Count > 0 ? Fire(TNoticeKind::Receive, Data, Size, Count, 120000) : 1;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_FireAuxReceive(const void* Data, int32_t Size) {
  return Fire(TNoticeKind::AuxReceive, Data, Size);
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_CallCount(const char* Entry) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  const std::string Prefix = std::string(Entry) + "(";
  int32_t Count = 0;
  for (const std::string& Call : D.Calls) {
    if (Call.compare(0, Prefix.size(), Prefix) == 0) ++Count;
  }
  return Count;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_CallLog(char* Buffer, int32_t Capacity) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  std::string Text;
  for (const std::string& Call : D.Calls) Text += Call + "\n";
  if (Buffer != nullptr && Capacity > 0) {
    const size_t Copied = std::min(Text.size(), static_cast<size_t>(Capacity - 1));
    std::memcpy(Buffer, Text.data(), Copied);
    Buffer[Copied] = '\0';
  }
  return static_cast<int32_t>(Text.size());
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_LastSend(void* Buffer, int32_t Capacity) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  if (Buffer != nullptr && Capacity > 0) {
    std::memcpy(Buffer, D.LastSendBytes.data(),
                std::min(D.LastSendBytes.size(), static_cast<size_t>(Capacity)));
  }
  return D.LastSendSize;
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetAutoConnect(int32_t Enabled) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.AutoConnect = Enabled != 0;
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetAutoDisconnect(int32_t Enabled) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.AutoDisconnect = Enabled != 0;
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetAutoEcho(int32_t Enabled, uint8_t ErrorByte,
                                                    const void* Extra, int32_t ExtraSize) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.AutoEcho = Enabled != 0;
  D.EchoErrorByte = ErrorByte;
  D.EchoExtra = Extra != nullptr && ExtraSize > 0
                    ? std::string(static_cast<const char*>(Extra), ExtraSize)
                    : std::string();
}

DOUBLE_ENTRY void VELMORA_STDCALL Double_SetLateNotices(int32_t Kinds, int32_t DelayMs,
                                                       int32_t Repeat) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  D.Careless = true;
  D.LateKinds = Kinds;
  D.LateDelayMs = DelayMs > 0 ? DelayMs : 0;
  D.LateRepeat = Repeat > 0 ? Repeat : 1;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_StreamReceive(const void* Data, int32_t Size,
                                                         int32_t AfterDestroyMs) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  if (D.Terminations.empty() || Data == nullptr || Size <= 0) return 0;
  D.Careless = true;
  auto Stream = std::make_unique<TStray>();
  Stream->Target = D.Terminations.back();
  Stream->Stream = true;
  Stream->Bytes.assign(static_cast<const char*>(Data), static_cast<size_t>(Size));
  Stream->AfterDestroyMs = AfterDestroyMs > 0 ? AfterDestroyMs : 0;
  return StartStray(D, std::move(Stream)) ? 1 : 0;
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_EndStrays() {
  TDouble& D = State();
  EndStrays(D);
  return D.StrayCalls.load();
}

DOUBLE_ENTRY int32_t VELMORA_STDCALL Double_RewriteTermID(int32_t Value) {
  TDouble& D = State();
  Platform::TLockGuard Guard(D.Lock);
  if (D.Terminations.empty()) return 0;
  TTermination& Newest = D.Terminations.back();
  std::atomic_ref<int32_t>(*Newest.TermIDField).store(Value);
  Newest.TermID = Value;
  return 1;
}
