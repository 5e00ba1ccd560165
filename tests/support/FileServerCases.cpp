// File-server cases: each step an action on the server's root, the server or
// one of its clients, and its checks.
#include "tests/support/CaseKinds.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "platform/Files.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "standins/fileserver/FileServer.h"
#include "standins/net/Tpkt.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

using TNext = Net::TTpktAssembler::TNext;

// A request as the transport frames it: operation byte, packed list.
std::string RequestFrame(int Operation, const std::vector<std::string>& Items) {
  TParamList List;
  for (const std::string& Item : Items) List.Add(Item);
  std::string Message(1 + 70000, static_cast<char>(Operation));
  size_t Count = 0;
  if (!PackParams(List, &Message[1], Message.size() - 1, Count)) throw std::runtime_error("too big");
  return Net::TpktFrame(Message.data(), 1 + Count);
}

struct TClient {
  Platform::TSocket Socket;
  Net::TTpktAssembler Assembler;
  std::deque<int> Awaited;  // the operation byte of each request not yet answered

  void Send(const std::string& Bytes) {
    if (!Socket.SendAll(Bytes.data(), Bytes.size())) throw std::runtime_error("the send failed");
  }
  // The next message ('m', in Message); 'n' when none came by Deadline, 'c'
  // when the connection ended first, 'x' when the stream is not TPKT.
  char Next(uint64_t Deadline, std::string& Message) {
    for (char Buffer[16384];;) {
      const TNext Got = Assembler.Next(Message);
      if (Got != TNext::Incomplete) return Got == TNext::Message ? 'm' : 'x';
      if (Platform::TickCountMs() >= Deadline) return 'n';
      if (!Socket.WaitReadable(50)) continue;
      const int Read = Socket.Receive(Buffer, sizeof Buffer);
      if (Read <= 0) return 'c';
      Assembler.Append(Buffer, static_cast<size_t>(Read));
    }
  }
};

// Whether the next answer on Client is Want (tests/cases/README.md, kind
// fileserver); an answer's operation byte is always its request's.
bool CheckAnswer(TClient& Client, std::string Want, std::string& Why) {
  const size_t Within = (" " + Want).rfind(" within ");
  const uint64_t Deadline = Platform::TickCountMs() +
                            (Within == std::string::npos ? 5000 : Number(Want.substr(Within + 7)));
  if (Within != std::string::npos) Want.erase(Within);
  const int Operation = Client.Awaited.empty() ? -1 : Client.Awaited.front();
  if (!Client.Awaited.empty()) Client.Awaited.pop_front();
  const std::string Form = TakeWord(Want);
  std::string Message;
  char Came = Client.Next(Deadline, Message);
  while (Form == "drained" && Came == 'm') Came = Client.Next(Deadline, Message);
  Why = Came == 'n' ? "nothing came" : Came == 'c' ? "the connection ended" : Came == 'x' ? "not a TPKT stream"
                                                                                : EscapeBytes(Message);
  if (Form == "nothing") return Came == 'n';
  if (Form == "closed" || Form == "drained")  // closed: and nothing came before
    return Came == 'c' && (Form == "drained" || Client.Assembler.Buffered() == 0);
  if (Came != 'm' || Message.size() < 2) return false;
  TParamList List;
  UnpackParams(List, Message.data() + 2, static_cast<int32_t>(Message.size() - 2));
  Why = "op " + std::to_string(static_cast<uint8_t>(Message[0])) + " error " +
        std::to_string(static_cast<uint8_t>(Message[1])) + " (" + std::to_string(Message.size()) + " bytes):";
  for (int At = 0; At < List.Count(); ++At) Why += (At ? "|" : " ") + EscapeBytes(List.Item(At));
  if (Operation >= 0 && static_cast<uint8_t>(Message[0]) != Operation) return false;
  if (Form != "any" && Signed(Form) != static_cast<uint8_t>(Message[1])) return false;
  std::string How = TakeWord(Want);
  if (How == "size" && !InRange(static_cast<long>(Message.size()), TakeWord(Want))) return false;
  if (How == "size") How = TakeWord(Want);
  if (How != "" && How != "is" && How != "starts" && How != "has") throw std::runtime_error("bad " + How);
  const std::vector<std::string> Fields = Want.empty() ? std::vector<std::string>() : SplitFields(Want);
  for (size_t Field = 0; Field < Fields.size(); ++Field) {  // has: by name, else in their places
    const std::string& Item = Fields[Field];
    const int Index = How == "has" ? List.FindParam(Item.substr(0, Item.find('='))) : static_cast<int>(Field);
    if (Index < 0 || Index >= List.Count() || List.Item(Index) != Item) return false;
  }
  return How != "is" || Fields.size() == static_cast<size_t>(List.Count());
}

class TFileServerCase {
 public:
  TFileServerCase() : Root(fs::path(Platform::ToNativePath(Scratch.Path())) / "root") {
    fs::create_directories(Root);
  }

  bool Play(const TCaseStep& Step, std::string& Why) {
    std::string Rest = Step.Rest;
    const std::string Want = TakeResult(Rest);
    const std::string& Verb = Step.Verb;
    if (Verb == "file" || Verb == "folder" || Verb == "fifo" || Verb == "link") {
      const fs::path Path = Root / DecodeBytes(TakeWord(Rest));
      fs::create_directories(Verb == "folder" ? Path : Path.parent_path());
      if (Verb == "file") std::ofstream(Path, std::ios::binary) << DecodeBytes(Rest);
      if (Verb == "link") fs::create_symlink((Root / DecodeBytes(Rest)).lexically_normal(), Path);
      Why = "mkfifo failed";
      return Verb != "fifo" || std::system(("mkfifo '" + Path.string() + "'").c_str()) == 0;
    }
    if (Verb == "files") {  // files N PATH: N empty files, '#' in PATH their number
      for (int Number = Signed(TakeWord(Rest)) - 1; Number >= 0; --Number) {
        std::string Name = DecodeBytes(Rest);
        std::ofstream(Root / Name.replace(Name.find('#'), 1, std::to_string(Number))).flush();
      }
      return true;
    }
    if (Verb == "server") return StartServer(Rest);
    if (Verb == "accept" && Rest == "heal") return !(AcceptFailing = false);  // accepting works again
    if (Verb == "accept") {  // accept failures N => RANGE: the Nth failed accept RANGE ms after the first
      const size_t Count = Number(Rest.substr(Rest.find(' ') + 1));
      long Span = -1;
      WaitUntil([&] { return (Span = AcceptSpan(Count)) >= 0; }, 5000);
      Why = Span < 0 ? "fewer failed accepts" : "the span was " + std::to_string(Span) + " ms";
      return Span >= 0 && InRange(Span, Want);
    }
    if (Verb == "stop")  // stop within MS
      return StopWithin(Number(Rest.substr(7)), ("line " + std::to_string(Step.Line)).c_str());
    if (Verb == "wait") {  // wait MS PATTERN: until a printed line matches
      const uint32_t Limit = static_cast<uint32_t>(Number(TakeWord(Rest)));
      Why = "no printed line " + Rest + " within " + std::to_string(Limit) + " ms";
      return WaitUntil([&] { return CountMatching(Printed.Lines(), Rest) > 0; }, Limit);
    }
    if (Verb == "expect") return Expect(Rest, Why);
    TClient& Client = ClientOf(TakeWord(Rest));
    if (Verb == "send") {  // send N OPS ITEMS: each operation of OPS (a,b,...) in turn
      std::string Operations = TakeWord(Rest) + ",";
      const std::vector<std::string> Items = Rest.empty() ? std::vector<std::string>() : SplitFields(Rest);
      for (size_t Comma; (Comma = Operations.find(',')) != std::string::npos; Operations.erase(0, ++Comma)) {
        size_t Digits = 0;
        Client.Awaited.push_back(std::stoi(Operations, &Digits));
        if (Digits != Comma) throw std::runtime_error("bad operations " + Operations);
        Client.Send(RequestFrame(Client.Awaited.back(), Items));
        if (Want.empty() || CheckAnswer(Client, Want, Why)) continue;
        Why = "op " + Operations.substr(0, Comma) + ": " + Why;
        return false;
      }
      return true;
    }
    if (Verb == "message" || Verb == "raw") {
      const std::string Bytes = DecodeBytes(Rest);
      if (Verb == "message" && !Bytes.empty()) Client.Awaited.push_back(static_cast<uint8_t>(Bytes[0]));
      Client.Send(Verb == "raw" ? Bytes : Net::TpktFrame(Bytes.data(), Bytes.size()));
    } else if (Verb == "flood") {  // echo requests of 7 KB, none read, until the server takes none for 200 ms
      const std::string Frame = RequestFrame(fsopEcho, {"Fill=" + std::string(7000, 'f')});
      Why = "the server took every request";
      for (int Index = 0; Index < 20000; ++Index)
        if (!Client.Socket.SendWithin(Frame.data(), Frame.size(), 200)) return true;
      return false;
    } else if (Verb == "close") {
      Client.Socket.Close();
    } else if (Verb != "connect" && Verb != "answer") {
      throw std::runtime_error("unknown step " + Verb);
    }
    return Want.empty() || CheckAnswer(Client, Want, Why);
  }

  // The end of every case: the server stops within 3 s, and no printed line
  // holds a control byte (every value in it is escaped).
  bool Finish() {
    StopWithin(3000, "the end");
    bool Passed = true;
    for (const std::string& Line : Printed.Lines()) {
      if (std::all_of(Line.begin(), Line.end(), [](unsigned char C) { return C >= 0x20 && C != 0x7F; }))
        continue;
      std::printf("FAIL at the end: a printed line holds a control byte: %s\n", EscapeBytes(Line).c_str());
      Passed = false;
    }
    return Passed;
  }

 private:
  // server [send-timeout MS] [refused-threads N] [failing-accept], before any client.
  bool StartServer(std::string Rest) {
    for (std::string Option = TakeWord(Rest); !Option.empty(); Option = TakeWord(Rest)) {
      if (Option == "send-timeout") {
        Options.SendTimeoutMs = static_cast<uint32_t>(Number(TakeWord(Rest)));
      } else if (Option == "refused-threads") {  // the first N thread starts fail, as at a thread limit
        ThreadsToRefuse = Signed(TakeWord(Rest));
        Options.StartThread = [this](std::function<void()> Body) {
          if (ThreadsToRefuse.fetch_sub(1) > 0)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
          return std::thread(std::move(Body));
        };
      } else if (Option == "failing-accept") {  // out of descriptors until "accept heal"
        AcceptFailing = true;
        Options.Accept = [this](Platform::TSocket& Listener, uint32_t TimeoutMs, std::string& Peer,
                                uint32_t& Error) {
          const bool Failing = AcceptFailing.load();
          Platform::TSocket Connection = Failing ? Platform::TSocket() : Listener.Accept(TimeoutMs, &Peer);
          std::lock_guard<std::mutex> Guard(Lock);
          if (Failing) FailedAccepts.push_back(Platform::TickCountMs());
          Error = Failing              ? Platform::SocketErrorTooManyFiles
                  : Connection.Valid() ? 0
                                       : Platform::LastSocketError();
          return Connection;
        };
      } else {
        throw std::runtime_error("unknown server option " + Option);
      }
    }
    if (Server) throw std::runtime_error("the server is already running");
    const auto Print = [this](const std::string& Line) { Printed.Add(Line); };
    Server = std::make_unique<TFileServer>(Root, Print, Options);
    std::string Error;
    if (!Server->Start("127.0.0.1", 0, Error)) throw std::runtime_error(Error);
    return true;
  }

  bool Expect(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    if (What == "path") {  // expect path PATH file|folder|link|missing|other
      const fs::file_status Type = fs::symlink_status(Root / DecodeBytes(TakeWord(Rest)));
      const std::string Kind = fs::is_symlink(Type) ? "link" : fs::is_regular_file(Type) ? "file"
                               : fs::is_directory(Type) ? "folder" : fs::exists(Type) ? "other" : "missing";
      Why = "it is " + Kind;
      return Kind == Rest;
    }
    if (What == "printed-count") {  // expect printed-count N[..M] PATTERN
      const long Count = CountMatching(Printed.Lines(), Rest.substr(Rest.find(' ') + 1));
      Why = std::to_string(Count) + " lines";
      return InRange(Count, TakeWord(Rest));
    }
    std::string Text;
    if (What == "file") {
      Text = ReadFileBytes(Scratch.Path() + "root\\" + DecodeBytes(TakeWord(Rest)));
    } else if (What != "printed" && What != "requests") {
      throw std::runtime_error("unknown expectation " + What);
    }
    for (const std::string& Line : What == "file" ? std::vector<std::string>() : Printed.Lines()) {
      if (What == "printed") Text += Line + "\n";  // requests: the " op=" lines, their peers cut off
      if (What == "requests" && Line.find(" op=") != std::string::npos)
        Text += Line.substr(Line.find(' ') + 1) + "\n";
    }
    return TextExpect(What, Rest, Text, Why);
  }

  long AcceptSpan(size_t Count) {  // -1 while fewer came
    std::lock_guard<std::mutex> Guard(Lock);
    return FailedAccepts.size() < Count ? -1 : static_cast<long>(FailedAccepts[Count - 1] - FailedAccepts[0]);
  }

  // Client N, connected at its first use (the server started first).
  TClient& ClientOf(const std::string& Number) {
    if (!Server) StartServer("");
    TClient& Client = Clients[Signed(Number)];
    if (Client.Socket.Valid()) return Client;
    Platform::TConnectState State = Platform::TConnectState::Failed;
    if (Client.Socket.Open()) State = Client.Socket.BeginConnect(0x7F000001u, Server->Port());
    for (int Slice = 0; State == Platform::TConnectState::Pending && Slice < 50; ++Slice)
      State = Client.Socket.WaitConnect(100);
    if (State != Platform::TConnectState::Connected) throw std::runtime_error("cannot connect " + Number);
    return Client;
  }

  // Stops the server on a thread of its own: a stop still under way after
  // Limit fails the case and ends the process, which it would hang.
  bool StopWithin(unsigned long Limit, const std::string& Where) {
    TCaseThread Stopper;
    Stopper.Start([this] { return !Server || (Server->Stop(), true); });
    if (!Stopper.EndedWithin(static_cast<uint32_t>(Limit))) {
      std::printf("FAIL at %s: the server's stop took longer than %lu ms\n", Where.c_str(), Limit);
      std::fflush(stdout);
      std::_Exit(1);
    }
    return Stopper.Join();
  }

  TScratchDir Scratch;
  const fs::path Root;
  TSharedLines Printed;                 // the server's lines
  std::mutex Lock;                      // for the one below
  std::vector<uint64_t> FailedAccepts;  // when each came
  std::atomic<bool> AcceptFailing{false};
  std::atomic<int> ThreadsToRefuse{0};
  TFileServerOptions Options;
  std::unique_ptr<TFileServer> Server;  // stopped before the above go
  std::map<int, TClient> Clients;
};

}  // namespace

bool RunFileServerCase(const std::vector<TCaseStep>& Steps) {
  if (!Platform::StartSockets()) return false;
  auto Case = std::make_unique<TFileServerCase>();
  const bool Passed =
      PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) { return Case->Play(Step, Why); });
  const bool Clean = Case->Finish();
  Case.reset();
  Platform::StopSockets();
  return Passed && Clean;
}

}  // namespace TestSupport
