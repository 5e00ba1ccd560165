// The file server's listener and client threads.
#include "standins/fileserver/FileServer.h"

#include <cstdio>

#include "standins/net/Tpkt.h"

namespace {
constexpr uint32_t PollSliceMs = 200;  // how often a waiting thread looks at Stopping
}

TFileServer::TFileServer(const std::filesystem::path& Root, TLogLine Log, TFileServerOptions Options)
    : Operations(Root), Log(std::move(Log)), Options(std::move(Options)) {}

TFileServer::~TFileServer() { Stop(); }

bool TFileServer::Start(const std::string& Address, uint16_t Port, std::string& Error) {
  uint32_t Host = 0;
  if (!Net::ResolveIPv4(Address, Host)) {
    Error = "not an IPv4 address: " + Address;
    return false;
  }
  if (!Net::Startup() || !Listener.Open() || !Listener.SetReuseAddress() || !Listener.Bind(Host, Port) ||
      !Listener.Listen(16)) {
    Error = "cannot listen on " + Address + ":" + std::to_string(Port) + " (socket error " +
            std::to_string(Net::LastError()) + ")";
    Listener.Close();
    return false;
  }
  ListenPort = Listener.LocalPort();
  AcceptThread = std::thread(&TFileServer::AcceptLoop, this);
  return true;
}

void TFileServer::Stop() {
  Stopping.store(true);
  if (AcceptThread.joinable()) AcceptThread.join();
  ReapFinished(true);
  Listener.Close();
}

void TFileServer::AcceptLoop() {
  while (!Stopping.load()) {
    std::string Peer;
    uint32_t Error = 0;
    Net::TSocket Connection = AcceptNext(Peer, Error);
    ReapFinished(false);
    if (!Connection.Valid()) continue;
    Connection.SetNoDelay();
    TClient& Client = Clients.emplace_back();
    Client.Socket = std::move(Connection);
    Client.Peer = Peer;
    Write(Peer + " connected");
    Client.Thread = StartThread([this, &Client] { Serve(Client); });
  }
}

Net::TSocket TFileServer::AcceptNext(std::string& Peer, uint32_t& Error) {
  if (Options.Accept) return Options.Accept(Listener, PollSliceMs, Peer, Error);
  Net::TSocket Connection = Listener.Accept(PollSliceMs, &Peer);
  Error = Connection.Valid() ? 0 : Net::LastError();
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
      Client = Clients.erase(Client);
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
            " path=" + Outcome.Path);
      const std::string Frame = Net::TpktFrame(Response.data(), Response.size());
      if (!Client.Socket.SendAll(Frame.data(), Frame.size())) {
        Ending = "lost (socket error " + std::to_string(Net::LastError()) + ")";
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
  Client.Socket.Close();
  Write(Client.Peer + " " + Ending);
  Client.Done.store(true);
}

void TFileServer::Write(const std::string& Line) {
  std::lock_guard<std::mutex> Guard(LogLock);
  if (Log) Log(Line);
}
