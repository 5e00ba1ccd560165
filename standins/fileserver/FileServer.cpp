// The file server's listener and client threads.
#include "standins/fileserver/FileServer.h"

#include <algorithm>
#include <exception>

#include "standins/net/Tpkt.h"

namespace {
constexpr uint32_t PollSliceMs = 200;  // how often a waiting thread looks at Stopping

// Accept failures that end by themselves (a connection reset before it was
// taken, an interrupted wait) are not an episode worth a pause.
bool IsPassing(uint32_t Error) {
  return Error == Platform::SocketErrorConnectionAborted || Error == Platform::SocketErrorInterrupted;
}
}  // namespace

std::string LogText(const std::string& Value) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Text;
  Text.reserve(Value.size());
  for (const char Byte : Value) {
    const auto Code = static_cast<unsigned char>(Byte);
    if (Code >= 0x20 && Code != 0x7F) {
      Text += Byte;
      continue;
    }
    Text += "\\x";
    Text += Hex[Code >> 4];
    Text += Hex[Code & 0x0F];
  }
  return Text;
}

TFileServer::TFileServer(const std::filesystem::path& Root, TLogLine Log, TFileServerOptions Options)
    : Operations(Root), Log(std::move(Log)), Options(std::move(Options)) {}

TFileServer::~TFileServer() { Stop(); }

bool TFileServer::Start(const std::string& Address, uint16_t Port, std::string& Error) {
  uint32_t Host = 0;
  if (!Platform::ResolveIPv4(Address, Host)) {
    Error = "not an IPv4 address: " + Address;
    return false;
  }
  if (!Platform::StartSockets() || !Listener.Open() || !Listener.SetReuseAddress() || !Listener.Bind(Host, Port) ||
      !Listener.Listen(16)) {
    Error = "cannot listen on " + Address + ":" + std::to_string(Port) + " (socket error " +
            std::to_string(Platform::LastSocketError()) + ")";
    Listener.Close();
    return false;
  }
  ListenPort = Listener.LocalPort();
  AcceptThread = std::thread(&TFileServer::AcceptLoop, this);
  return true;
}

void TFileServer::Stop() {
  {
    std::lock_guard<std::mutex> Guard(StopLock);
    Stopping.store(true);
  }
  StopSignal.notify_all();
  if (AcceptThread.joinable()) AcceptThread.join();
  // A client's thread may be waiting for a request or blocked in a send to a
  // client that reads nothing: the shutdown ends either at once.
  for (TClient& Client : Clients) Client.Socket.Shutdown();
  ReapFinished(true);
  Listener.Close();
}

void TFileServer::Pause(uint32_t TimeoutMs) {
  std::unique_lock<std::mutex> Guard(StopLock);
  StopSignal.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), [this] { return Stopping.load(); });
}

void TFileServer::AcceptLoop() {
  uint32_t BackOffMs = 0;  // the pause after the next failure; 0 outside an episode
  uint64_t Failures = 0;   // failed attempts in this episode
  while (!Stopping.load()) {
    std::string Peer;
    uint32_t Error = 0;
    Platform::TSocket Connection = AcceptNext(Peer, Error);
    ReapFinished(false);
    if (!Connection.Valid() && Error != Platform::SocketErrorTimedOut && !IsPassing(Error)) {
      // Accept fails at once for as long as the cause lasts (out of
      // descriptors, above all): pause instead of spinning, and log the
      // episode once, not every attempt.
      if (BackOffMs == 0) {
        Write("accept failing (socket error " + std::to_string(Error) + "); retrying after pauses of " +
              std::to_string(AcceptBackOffFirstMs) + " to " + std::to_string(AcceptBackOffMaxMs) + " ms");
        BackOffMs = AcceptBackOffFirstMs;
      }
      ++Failures;
      Pause(BackOffMs);
      BackOffMs = std::min(BackOffMs * 2, AcceptBackOffMaxMs);
      continue;
    }
    if (BackOffMs != 0) {
      Write("accepting again after " + std::to_string(Failures) + " failed attempts");
      BackOffMs = 0;
      Failures = 0;
    }
    if (!Connection.Valid()) continue;
    Connection.SetNoDelay();
    TClient& Client = Clients.emplace_back();
    Client.Socket = std::move(Connection);
    Client.Peer = LogText(Peer);
    Write(Client.Peer + " connected");
    try {
      Client.Thread = StartThread([this, &Client] { Serve(Client); });
    } catch (const std::exception& Failure) {
      // Out of threads (or memory): this one client is refused, the others
      // keep their service and later connections are tried again.
      Write(Client.Peer + " refused: cannot start a thread (" + LogText(Failure.what()) + ")");
      Clients.pop_back();  // closes the connection
    }
  }
}

Platform::TSocket TFileServer::AcceptNext(std::string& Peer, uint32_t& Error) {
  if (Options.Accept) return Options.Accept(Listener, PollSliceMs, Peer, Error);
  Platform::TSocket Connection = Listener.Accept(PollSliceMs, &Peer);
  Error = Connection.Valid() ? 0 : Platform::LastSocketError();
  return Connection;
}

std::thread TFileServer::StartThread(std::function<void()> Body) {
  if (Options.StartThread) return Options.StartThread(std::move(Body));
  return std::thread(std::move(Body));
}

void TFileServer::ReapFinished(bool All) {
  for (auto Client = Clients.begin(); Client != Clients.end();) {
    if (All || Client->Done.load()) {
      if (Client->Thread.joinable()) Client->Thread.join();
      Client = Clients.erase(Client);  // closes its socket
    } else {
      ++Client;
    }
  }
}

void TFileServer::Serve(TClient& Client) {
  Net::TTpktAssembler Assembler;
  std::string Message;
  char Buffer[16384];
  std::string Ending = "disconnected";
  while (!Stopping.load()) {
    if (!Client.Socket.WaitReadable(PollSliceMs)) continue;
    const int Read = Client.Socket.Receive(Buffer, sizeof Buffer);
    if (Read <= 0) break;
    Assembler.Append(Buffer, static_cast<size_t>(Read));
    Net::TTpktAssembler::TNext Next;
    while ((Next = Assembler.Next(Message)) == Net::TTpktAssembler::TNext::Message) {
      TRequestOutcome Outcome;
      const std::string Response = Operations.Handle(Message, Outcome);
      if (!Outcome.Answered) continue;  // keep-alive
      Write(Client.Peer + " op=" + std::to_string(Outcome.Operation) + " error=" + std::to_string(Outcome.Error) +
            " path=" + LogText(Outcome.Path));
      const std::string Frame = Net::TpktFrame(Response.data(), Response.size());
      if (!Client.Socket.SendWithin(Frame.data(), Frame.size(), Options.SendTimeoutMs)) {
        const uint32_t Error = Platform::LastSocketError();
        Ending = Error == Platform::SocketErrorTimedOut
                     ? "dropped: took no answer for " + std::to_string(Options.SendTimeoutMs) + " ms"
                     : "lost (socket error " + std::to_string(Error) + ")";
        Next = Net::TTpktAssembler::TNext::Malformed;
        break;
      }
    }
    if (Next == Net::TTpktAssembler::TNext::Malformed) {
      if (Ending == "disconnected") Ending = "dropped: not a TPKT stream";
      break;
    }
  }
  if (Stopping.load()) Ending = "closed: server stopping";
  Client.Socket.Shutdown();  // the client sees the end now; the reaper closes the handle
  Write(Client.Peer + " " + Ending);
  Client.Done.store(true);
}

void TFileServer::Write(const std::string& Line) {
  std::lock_guard<std::mutex> Guard(LogLock);
  if (Log) Log(Line);
}
