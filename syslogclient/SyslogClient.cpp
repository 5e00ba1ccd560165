// The syslog client: the lines' way from the plug-in's threads to the server.
#include "syslogclient/SyslogClient.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <vector>

#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"
#include "syslogclient/SyslogMessage.h"

namespace {

constexpr uint32_t ConnectMs = 3000;  // one connection attempt at most
constexpr uint32_t SliceMs = 100;     // the thread looks at a stop request this often

// A line as offered, copied (the plug-in's texts live only during the call).
struct TQueuedLine {
  double Time = 0.0;
  std::string AppName;
  std::string Tag;
  std::string Text;
};

// What a queued line counts against the queue's bytes.
size_t Weight(const TQueuedLine& Line) {
  return Line.AppName.size() + Line.Tag.size() + Line.Text.size() + 64;
}

uint64_t Now() { return Platform::TickCountMs(); }

// A syslog server sends nothing: a readable socket is a closed one.
bool PeerClosed(Platform::TSocket& Socket) {
  if (!Socket.WaitReadable(0)) return false;
  char Ignored[256];
  return Socket.Receive(Ignored, sizeof Ignored) <= 0;
}

}  // namespace

class TSyslogLink {
public:
  explicit TSyslogLink(const TSyslogSetting& Setting)
      : Setting(Setting), ProcessId(Platform::CurrentProcessId()) {}

  bool Offer(double Time, const char* AppName, const char* Tag, const char* Text);
  void RequestStop() {
    StopRequested.store(true);
    Wake.Set();
  }

  // The thread's body and epilogue; Context is a heap-held std::shared_ptr
  // to the link, the thread's own reference, dropped by the epilogue.
  static void Run(void* Context);
  static void Release(void* Context);

private:
  void Work();
  bool Resolve(uint32_t& Address);
  void RunUdp(uint32_t Address);
  void RunTcp(uint32_t Address);
  bool Connect(Platform::TSocket& Socket, uint32_t Address, uint32_t LimitMs);
  bool Pump(Platform::TSocket& Socket);
  bool TakeBatch();
  void DropSent();
  bool HasWork();
  bool Pause(uint32_t Milliseconds);
  void WaitForWork(uint32_t Milliseconds);
  std::string Format(double Time, const std::string& AppName, const std::string& Tag,
                     const std::string& Text, size_t MaxBytes);
  int32_t OffsetOf(const Platform::TDateTime& Time);

  const TSyslogSetting Setting;
  const uint32_t ProcessId;
  // Written by the thread before Ready is first set, read-only afterwards.
  std::string HostName;
  bool SocketsStarted = false;  // the thread's
  // UDP: the datagram socket is open; TCP: the connection is up. Lines are
  // declined while it is false.
  std::atomic<bool> Ready{false};
  std::atomic<bool> StopRequested{false};
  uint64_t StopDeadline = 0;  // the thread's: when flushing at stop ends
  // Set by Stop and by an offer that finds the thread waiting for lines.
  Platform::TEvent Wake;
  // UDP: opened by the thread before Ready, then sent on by any offering
  // thread; closed by the thread after a stop request (no offers then).
  Platform::TSocket Datagram;

  // The TCP queue, guarded by Lock.
  Platform::TCriticalSection Lock;
  std::deque<TQueuedLine> Lines;
  size_t QueuedBytes = 0;
  bool SenderWaiting = false;  // the thread waits on Wake for lines

  // The thread's: frames taken from the queue, not all sent yet. Ends[i] is
  // where frame i ends in Pending; Sent counts the bytes of Pending gone out.
  std::string Pending;
  std::vector<size_t> Ends;
  size_t Sent = 0;

  // The UTC offset of the last hour formatted: (hour key << 20) | (offset +
  // 0x80000); any thread formats UDP lines.
  std::atomic<uint64_t> CachedOffset{~uint64_t{0}};
};

bool TSyslogLink::Offer(double Time, const char* AppName, const char* Tag, const char* Text) {
  if (!Ready.load(std::memory_order_acquire)) return false;
  const auto Safe = [](const char* Value) { return Value != nullptr ? Value : ""; };
  if (Setting.Transport == TSyslogTransport::Udp) {
    const std::string Message =
        Format(Time, Safe(AppName), Safe(Tag), Safe(Text), TSyslogClient::DatagramBytes);
    return Datagram.SendDatagram(Message.data(), Message.size());
  }
  TQueuedLine Line{Time, Safe(AppName), Safe(Tag), Safe(Text)};  // copied outside the lock
  const size_t Size = Weight(Line);
  bool WakeSender = false;
  {
    Platform::TLockGuard Guard(Lock);
    if (Lines.size() >= TSyslogClient::QueueLines || QueuedBytes + Size > TSyslogClient::QueueBytes) {
      return false;
    }
    Lines.push_back(std::move(Line));
    QueuedBytes += Size;
    WakeSender = SenderWaiting;
    SenderWaiting = false;
  }
  if (WakeSender) Wake.Set();
  return true;
}

void TSyslogLink::Run(void* Context) {
  // Nothing may leave a thread's body: a failure (memory) ends the client's
  // work, and its lines are declined from then on.
  try {
    (*static_cast<std::shared_ptr<TSyslogLink>*>(Context))->Work();
  } catch (...) {
  }
}

void TSyslogLink::Release(void* Context) {
  auto* Link = static_cast<std::shared_ptr<TSyslogLink>*>(Context);
  if ((*Link)->SocketsStarted) Platform::StopSockets();
  delete Link;
}

void TSyslogLink::Work() {
  SocketsStarted = Platform::StartSockets();
  uint32_t Address = 0;
  if (SocketsStarted && Resolve(Address)) {
    HostName = Platform::LocalHostName();
    if (Setting.Transport == TSyslogTransport::Udp) {
      RunUdp(Address);
    } else {
      RunTcp(Address);
    }
  }
  Ready.store(false);
  Datagram.Close();
}

bool TSyslogLink::Resolve(uint32_t& Address) {
  uint32_t BackOff = TSyslogClient::FirstBackOffMs;
  while (!Platform::ResolveHost(Setting.Host, Address)) {
    if (!Pause(BackOff)) return false;
    BackOff = std::min(BackOff * 2, TSyslogClient::LastBackOffMs);
  }
  return true;
}

void TSyslogLink::RunUdp(uint32_t Address) {
  uint32_t BackOff = TSyslogClient::FirstBackOffMs;
  while (!Datagram.OpenDatagram(Address, Setting.Port)) {
    if (!Pause(BackOff)) return;
    BackOff = std::min(BackOff * 2, TSyslogClient::LastBackOffMs);
  }
  Ready.store(true, std::memory_order_release);
  while (Pause(60000)) {
  }
}

void TSyslogLink::RunTcp(uint32_t Address) {
  Platform::TSocket Socket;
  uint32_t BackOff = TSyslogClient::FirstBackOffMs;
  for (;;) {
    uint32_t Limit = ConnectMs;
    if (StopRequested.load()) {
      // Stopping: what is still queued goes out if the time allows.
      if (StopDeadline == 0) StopDeadline = Now() + TSyslogClient::FlushMs;
      const uint64_t At = Now();
      if (!HasWork() || At >= StopDeadline) return;
      Limit = static_cast<uint32_t>(StopDeadline - At);
    }
    if (Connect(Socket, Address, Limit)) {
      BackOff = TSyslogClient::FirstBackOffMs;
      Ready.store(true, std::memory_order_release);
      const bool Stopped = Pump(Socket);
      Ready.store(false);
      Socket.Close();
      if (Stopped) return;
      DropSent();
    } else {
      Socket.Close();
    }
    if (StopRequested.load()) {
      Platform::SleepMs(50);  // a refused attempt while stopping: not in a tight loop
    } else if (Pause(BackOff)) {
      BackOff = std::min(BackOff * 2, TSyslogClient::LastBackOffMs);
    }
  }
}

bool TSyslogLink::Connect(Platform::TSocket& Socket, uint32_t Address, uint32_t LimitMs) {
  if (!Socket.Open()) return false;
  Socket.SetNoDelay();
  // Lines the server has not read wait in our queue (and are declined once it
  // is full), not in a system buffer that may grow to megabytes.
  Socket.SetSendBuffer(TSyslogClient::BatchBytes);
  const bool Stopping = StopRequested.load();
  const uint64_t End = Now() + LimitMs;
  Platform::TConnectState State = Socket.BeginConnect(Address, Setting.Port);
  while (State == Platform::TConnectState::Pending) {
    // A stop request ends an ordinary attempt; the attempt made while
    // stopping has its own limit.
    if (Now() >= End || (!Stopping && StopRequested.load())) return false;
    State = Socket.WaitConnect(SliceMs);
  }
  return State == Platform::TConnectState::Connected;
}

// Sends until a stop request finds nothing left (or the flush time ends):
// true; or until the connection is lost: false.
bool TSyslogLink::Pump(Platform::TSocket& Socket) {
  uint64_t LastProgress = Now();
  for (;;) {
    if (StopRequested.load()) {
      if (StopDeadline == 0) StopDeadline = Now() + TSyslogClient::FlushMs;
      if (Now() >= StopDeadline) return true;
    }
    if (Sent == Pending.size()) {
      Pending.clear();
      Ends.clear();
      Sent = 0;
      const bool Taken = TakeBatch();
      // Looked at before each batch, not only while idle: lines sent into a
      // connection the server has already closed would be lost with it.
      if (PeerClosed(Socket)) return false;
      if (!Taken) {
        if (StopRequested.load()) return true;
        WaitForWork(SliceMs);
        LastProgress = Now();
        continue;
      }
    }
    size_t Gone = 0;
    const bool Whole = Socket.SendWithin(Pending.data() + Sent, Pending.size() - Sent, SliceMs, &Gone);
    Sent += Gone;
    if (Gone > 0) LastProgress = Now();
    if (!Whole && (Platform::LastSocketError() != Platform::SocketErrorTimedOut ||
                   Now() - LastProgress >= TSyslogClient::StallMs)) {
      return false;
    }
  }
}

bool TSyslogLink::TakeBatch() {
  std::vector<TQueuedLine> Taken;
  {
    Platform::TLockGuard Guard(Lock);
    size_t Bytes = 0;
    while (!Lines.empty() && Bytes < TSyslogClient::BatchBytes) {
      const size_t Size = Weight(Lines.front());
      Bytes += Size;
      QueuedBytes -= Size;
      Taken.push_back(std::move(Lines.front()));
      Lines.pop_front();
    }
  }
  for (const TQueuedLine& Line : Taken) {
    AppendOctetFrame(Pending, Format(Line.Time, Line.AppName, Line.Tag, Line.Text, 0));
    Ends.push_back(Pending.size());
  }
  return !Taken.empty();
}

// After a lost connection: the frames that went out whole are done; the rest
// (the one cut included) are sent again, whole, on the next connection.
void TSyslogLink::DropSent() {
  size_t Done = 0;
  while (Done < Ends.size() && Ends[Done] <= Sent) ++Done;
  const size_t Start = Done == 0 ? 0 : Ends[Done - 1];
  Pending.erase(0, Start);
  Ends.erase(Ends.begin(), Ends.begin() + static_cast<std::ptrdiff_t>(Done));
  for (size_t& End : Ends) End -= Start;
  Sent = 0;
}

bool TSyslogLink::HasWork() {
  if (Sent < Pending.size()) return true;
  Platform::TLockGuard Guard(Lock);
  return !Lines.empty();
}

// Waits Milliseconds in slices; false as soon as a stop is requested.
bool TSyslogLink::Pause(uint32_t Milliseconds) {
  const uint64_t End = Now() + Milliseconds;
  for (;;) {
    if (StopRequested.load()) return false;
    const uint64_t At = Now();
    if (At >= End) return true;
    Wake.Wait(static_cast<uint32_t>(std::min<uint64_t>(End - At, SliceMs)));
    Wake.Reset();
  }
}

// Waits at most Milliseconds for a line (or a stop request). The event is
// reset before the queue is looked at, so a line queued after the look sets
// it again.
void TSyslogLink::WaitForWork(uint32_t Milliseconds) {
  Wake.Reset();
  bool Empty = false;
  {
    Platform::TLockGuard Guard(Lock);
    Empty = Lines.empty();
    SenderWaiting = Empty;
  }
  if (Empty && !StopRequested.load()) Wake.Wait(Milliseconds);
}

int32_t TSyslogLink::OffsetOf(const Platform::TDateTime& Time) {
  const uint64_t Hour = ((static_cast<uint64_t>(Time.Year) * 100 + Time.Month) * 100 + Time.Day) * 100 + Time.Hour;
  const uint64_t Cached = CachedOffset.load(std::memory_order_relaxed);
  if (Cached >> 20 == Hour) return static_cast<int32_t>(Cached & 0xFFFFF) - 0x80000;
  const int32_t Offset = Platform::UtcOffsetMinutes(Time);
  CachedOffset.store((Hour << 20) | static_cast<uint64_t>(Offset + 0x80000), std::memory_order_relaxed);
  return Offset;
}

std::string TSyslogLink::Format(double Time, const std::string& AppName, const std::string& Tag,
                                const std::string& Text, size_t MaxBytes) {
  TSyslogFields Fields;
  Fields.Facility = Setting.Facility;
  Fields.HasTime = LocalTimeFromDays(Time, Fields.Time);
  if (Fields.HasTime) Fields.OffsetMinutes = OffsetOf(Fields.Time);
  Fields.HostName = HostName;
  Fields.AppName = AppName;
  Fields.ProcessId = ProcessId;
  Fields.MessageId = Tag;
  Fields.Utf8Text = Platform::AnsiToUtf8(Text);
  return FormatSyslogMessage(Fields, MaxBytes);
}

TSyslogClient::TSyslogClient(const TSyslogSetting& Setting)
    : Link(std::make_shared<TSyslogLink>(Setting)) {}

TSyslogClient::~TSyslogClient() { Stop(); }

bool TSyslogClient::Start() {
  if (Started) return true;
  auto* Context = new std::shared_ptr<TSyslogLink>(Link);
  if (!Thread.Start(&TSyslogLink::Run, Context, &TSyslogLink::Release)) {
    delete Context;
    return false;
  }
  Started = true;
  return true;
}

bool TSyslogClient::Offer(double Time, const char* AppName, const char* Tag, const char* Text) {
  return Started && Link->Offer(Time, AppName, Tag, Text);
}

void TSyslogClient::Stop() {
  if (!Started) return;
  Started = false;
  Link->RequestStop();
  Thread.WaitForBody(FlushMs + 500);
}
