// TCP transport cases: the library's entries and a loopback peer per pair,
// each step checked as it comes.
#include "tests/support/CaseKinds.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/Libraries.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/RequiredEntry.h"
#include "tests/support/TestSupport.h"
#include "transport/TransportApi.h"

namespace TestSupport {

namespace {

constexpr uint32_t WaitMs = 5000;

// One termination, what its callbacks reported and the loopback server it
// talks to. The callbacks' user value: it outlives the termination.
struct TPair {
  // Called on the library's thread, which starts after Created is set.
  void Add(int32_t Reserved, const std::string& Event) {
    Events.Add(Reserved == Created ? Event : Event + "@" + std::to_string(Reserved));
  }
  std::string Transcript() {
    const std::string Text = Events.Text(" ");
    return Text.substr(0, Text.size() - (Text.empty() ? 0 : 1));  // space-separated
  }

  TSharedLines Events;
  int32_t Created = -1;             // the TermID CreateTermination gave
  int32_t Id = -1;                  // the one the entries are called with
  Platform::TSocket Listener, Connection;
  uint16_t Port = 0;  // the server's
  std::string PeerAddress;
  std::string Delivered, Failed;  // the last flood's wire: the sends that went, the one that failed
};

void VELMORA_STDCALL OnReceive(int32_t Reserved, const void* Data, int32_t Size, void* Pair) {
  const char* Bytes = static_cast<const char*>(Data);  // may be null for an empty message
  static_cast<TPair*>(Pair)->Add(Reserved,
                                 Size > 0 ? "R:" + std::string(Bytes, static_cast<size_t>(Size)) : "R:");
}
void VELMORA_STDCALL OnAuxReceive(int32_t Reserved, const void*, int32_t, void* Pair) {
  static_cast<TPair*>(Pair)->Add(Reserved, "A");
}
void VELMORA_STDCALL OnConnect(int32_t Reserved, void* Pair) {
  static_cast<TPair*>(Pair)->Add(Reserved, "C");
}
void VELMORA_STDCALL OnDisconnect(int32_t Reserved, void* Pair) {
  static_cast<TPair*>(Pair)->Add(Reserved, "D");
}

std::string CodeName(int32_t Code) {
  static const char* const Names[] = {"teSUCCESS", "teLASTERROR", "teCONNECTTIMEOUTED", "teINVALIDPARAMS",
                                      "teMOREDATA", "teNODLLFOUND", "teNODATA", "teNOTIMPLEMENTED",
                                      "teDISCONNECT"};
  return Code >= 0 && Code <= teDISCONNECT ? Names[Code] : std::to_string(Code);
}

// A loopback port on which nobody listens (taken from the system and let go).
uint16_t FreePort() {
  Platform::TSocket Probe;
  if (!Probe.Open() || !Probe.Bind(0x7F000001u, 0)) throw std::runtime_error("no free port");
  return Probe.LocalPort();
}

// Exactly Size bytes, or what came before the end of the stream (Ended set)
// or before the time ran out.
std::string Read(Platform::TSocket& From, size_t Size, bool* Ended = nullptr) {
  std::string Bytes, Buffer(65536, '\0');
  const uint64_t Deadline = Platform::TickCountMs() + WaitMs;
  while (Bytes.size() < Size && Platform::TickCountMs() < Deadline) {
    if (!From.WaitReadable(50)) continue;
    const int Got = From.Receive(&Buffer[0], std::min(Size - Bytes.size(), Buffer.size()));
    if (Got <= 0 && Ended != nullptr) *Ended = true;
    if (Got <= 0) break;
    Bytes.append(Buffer, 0, static_cast<size_t>(Got));
  }
  return Bytes;
}

// The texts only the run knows, put in before a line is read: %PORT%,
// %LOCAL%, %RAMP:N%, %SERIES:A..B:TEXT% (tests/cases/README.md).
std::string Expand(std::string Text, TPair& Pair, uint16_t& Local) {
  for (size_t At = Text.find('%'); At != std::string::npos; At = Text.find('%', At)) {
    const size_t End = Text.find('%', At + 1);
    if (End == std::string::npos) throw std::runtime_error("lone % in " + Text);
    const std::string Name = Text.substr(At + 1, End - At - 1);
    const size_t Dots = Name.find(".."), Colon = Name.find(':', 7);
    std::string Value;
    if (Name == "PORT" || Name == "LOCAL") {
      uint16_t& Port = Name == "PORT" ? Pair.Port : Local;
      Port = Port != 0 ? Port : FreePort();
      Value = std::to_string(Port);
    } else if (Name.rfind("RAMP:", 0) == 0) {
      static const char Hex[] = "0123456789ABCDEF";
      for (unsigned long I = 0, Count = Number(Name.substr(5)); I < Count; ++I)
        Value += std::string("\\x") + Hex[(I * 7 >> 4) & 15] + Hex[I * 7 & 15];
    } else if (Name.rfind("SERIES:", 0) == 0 && Dots < Colon && Colon != std::string::npos) {
      const long Last = Signed(Name.substr(Dots + 2, Colon - Dots - 2));
      for (long Index = Signed(Name.substr(7, Dots - 7)); Index <= Last; ++Index) {
        std::string Piece = Name.substr(Colon + 1);
        for (size_t Mark = Piece.find('#'); Mark != std::string::npos; Mark = Piece.find('#', Mark))
          Piece.replace(Mark, 1, std::to_string(Index));
        Value += Piece;
      }
    } else {
      throw std::runtime_error("unknown %" + Name + "% in " + Text);
    }
    Text.replace(At, End - At + 1, Value);
    At += Value.size();
  }
  return Text;
}

bool Play(Platform::TLibrary Library, const std::vector<TCaseStep>& Steps) {
  const auto Create = RequiredEntry<TCreateTermination>(Library, "CreateTermination");
  const auto Destroy = RequiredEntry<TDestroyTermination>(Library, "DestroyTermination");
  const auto Connect = RequiredEntry<TConnectToServer>(Library, "ConnectToServer");
  const auto Disconnect = RequiredEntry<TDisconnectFromServer>(Library, "DisconnectFromServer");
  const auto Send = RequiredEntry<TSendToServer>(Library, "SendToServer");
  const auto SetSendLoadInfoEvent = RequiredEntry<TSetSendLoadInfoEvent>(Library, "SetSendLoadInfoEvent");
  const auto GetConnectionInfo = RequiredEntry<TGetConnectionInfo>(Library, "GetConnectionInfo");
  const auto GetDNSFistServerName = RequiredEntry<TGetDNSFistServerName>(Library, "GetDNSFistServerName");
  std::map<int, TPair> Pairs;  // nodes stay put: each is its callbacks' user value
  TPair* P = &Pairs[1];
  std::vector<int32_t> Live;  // created and not destroyed: destroyed at the end
  uint16_t Local = 0;
  uint64_t LastTook = 0;  // ms, the last entry call (a flood: its slowest send)
  TCaseThread Sender;  // "thread-send": each message sent there, the failures counted
  std::atomic<int> Failures{0};
  bool Passed = PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = Expand(Step.Rest, *P, Local);
    const std::string Wanted = TakeResult(Rest);
    std::string Got;  // an entry's result
    const uint64_t Start = Platform::TickCountMs();
    if (Verb == "use") {
      P = &Pairs[Signed(Rest)];
    } else if (Verb == "id") {
      P->Id = Signed(Rest);
    } else if (Verb == "sleep") {
      Platform::SleepMs(Number(Rest));
    } else if (Verb == "create") {  // create [no-id] TEXT|null
      const bool NoId = Rest.rfind("no-id ", 0) == 0;
      const std::string Text = DecodeBytes(NoId ? Rest.substr(6) : Rest);
      int32_t Id = -1;
      const int32_t Code = Create(Rest == "null" ? nullptr : Text.c_str(), OnReceive, OnAuxReceive,
                                  OnDisconnect, OnConnect, NoId ? nullptr : &Id, P);
      Got = CodeName(Code);
      // A refused create leaves the TermID alone; a new one is positive and no live termination's.
      Why = "create gave " + Got + " and TermID " + std::to_string(Id);
      const bool Fresh = Id > 0 && std::find(Live.begin(), Live.end(), Id) == Live.end();
      if (Code == teSUCCESS ? !Fresh : Id != -1) return false;
      if (Code == teSUCCESS) Live.push_back(P->Id = P->Created = Id);
    } else if (Verb == "connect" || Verb == "disconnect" || Verb == "destroy") {
      const int32_t Code = (Verb == "connect" ? Connect : Verb == "disconnect" ? Disconnect : Destroy)(P->Id);
      if (Code == teSUCCESS && Verb == "destroy")
        Live.erase(std::remove(Live.begin(), Live.end(), P->Id), Live.end());
      Got = CodeName(Code);
    } else if (Verb == "send" || Verb == "send-raw") {  // send BYTES, send-raw BYTES|null SIZE
      const size_t Space = Verb == "send" ? std::string::npos : Rest.rfind(' ');
      const std::string Data = Rest.substr(0, Space), Bytes = DecodeBytes(Data);
      const int32_t Size =
          Verb == "send" ? static_cast<int32_t>(Bytes.size()) : Signed(Rest.substr(Space + 1));
      Got = CodeName(Send(P->Id, Data == "null" && Verb != "send" ? nullptr : Bytes.data(), Size));
    } else if (Verb == "call") {  // the entries the client never calls
      char Name[64] = {};
      if (Rest == "SetSendLoadInfoEvent") Got = CodeName(SetSendLoadInfoEvent(P->Id, nullptr));
      if (Rest == "GetConnectionInfo") Got = CodeName(GetConnectionInfo(P->Id, Name, sizeof Name));
      if (Rest == "GetDNSFistServerName") Got = CodeName(GetDNSFistServerName(Name, sizeof Name));
      if (Got.empty()) throw std::runtime_error("unknown entry " + Rest);
    } else if (Verb == "flood") {  // flood SIZE framed|raw: messages a.., b.., ... until one fails
      const size_t Size = Number(TakeWord(Rest));
      if (Rest != "framed" && Rest != "raw") throw std::runtime_error("flood framed or raw, not " + Rest);
      const std::string Header{'\x03', '\0', static_cast<char>((Size + 4) >> 8), static_cast<char>(Size + 4)};
      int32_t Code = teSUCCESS;
      P->Delivered.clear();
      LastTook = 0;
      for (int Index = 0; Index < 2000 && Code == teSUCCESS; ++Index) {
        const std::string Payload(Size, static_cast<char>('a' + Index % 26));
        const uint64_t Began = Platform::TickCountMs();
        Code = Send(P->Id, Payload.data(), static_cast<int32_t>(Size));
        LastTook = std::max(LastTook, Platform::TickCountMs() - Began);
        if (Code != teSUCCESS) P->Failed.clear();
        (Code == teSUCCESS ? P->Delivered : P->Failed) += (Rest == "framed" ? Header : std::string()) + Payload;
      }
      Got = CodeName(Code);
    } else if (Verb == "thread-send") {  // thread-send A|B|...
      Failures = 0;
      const auto Sends = [&Failures, Send, Id = P->Id, Messages = SplitFields(Rest)] {
        for (const std::string& Bytes : Messages)
          Failures += Send(Id, Bytes.data(), static_cast<int32_t>(Bytes.size())) != teSUCCESS;
        return true;
      };
      if (!Sender.Start(Sends)) throw std::runtime_error("a sending thread still runs, or no thread");
    } else if (Verb == "thread-join") {
      Sender.Join();
      Got = std::to_string(Failures);
    } else if (Verb == "peer") {
      const std::string What = TakeWord(Rest);
      Why = "peer " + What + " failed";
      if (What == "listen") {
        if (!P->Listener.Open() || !P->Listener.SetReuseAddress() || !P->Listener.Bind(0x7F000001u, P->Port) ||
            !P->Listener.Listen(4))
          return false;
        P->Port = P->Listener.LocalPort();
      } else if (What == "stop-listening") {
        P->Listener.Close();
      } else if (What == "close") {
        P->Connection.Close();
      } else if (What == "accept") {
        P->Connection = P->Listener.Accept(WaitMs, &P->PeerAddress);
        return P->Connection.Valid();
      } else if (What == "accept-none") {
        return !P->Listener.Accept(Number(Rest)).Valid();
      } else if (What == "send") {  // each piece its own write, 15 ms apart
        const std::vector<std::string> Pieces = SplitFields(Rest);
        for (size_t Piece = 0; Piece < Pieces.size(); ++Piece) {
          if (Piece > 0) Platform::SleepMs(15);
          if (!P->Connection.SendAll(Pieces[Piece].data(), Pieces[Piece].size())) return false;
        }
      } else {
        throw std::runtime_error("unknown peer step " + What);
      }
    } else if (Verb == "wait") {  // wait PREFIX N
      const std::string Prefix = TakeWord(Rest);
      const long Count = Number(Rest);
      Why = "fewer than " + Rest + " events " + Prefix + " within 5 s";
      return WaitUntil([&] { return CountMatching(P->Events.Lines(), Prefix + "{*}") >= Count; }, WaitMs);
    } else if (Verb == "expect") {
      const std::string What = TakeWord(Rest);
      const std::string Text = What == "events" ? P->Transcript() : "";
      if (What == "events") return TextExpect(What, "is " + Rest, Text, Why);
      if (What == "took") return TookCheck(LastTook, Rest, Why);
      if (What == "peer-address") Why = "the peer saw " + P->PeerAddress;
      if (What == "peer-address") return P->PeerAddress == Rest;
      if (What == "peer-received") {
        const std::string Bytes = DecodeBytes(Rest), Received = Read(P->Connection, Bytes.size());
        Why = "the peer received " + EscapeBytes(Received);
        return Received == Bytes;
      }
      if (What != "peer-ended" && What != "peer-cut") throw std::runtime_error("unknown expectation " + What);
      // Read up to the end: nothing, or the flood's sends whole and in order and less than its failed one.
      bool Ended = false;
      const std::string Bytes = Read(P->Connection, std::string::npos, &Ended);
      const std::string& Sent = P->Delivered;
      const std::string Tail = Bytes.size() < Sent.size() ? "" : Bytes.substr(Sent.size());
      Why = "the peer received " + std::to_string(Bytes.size()) + " bytes" + (Ended ? "" : " and no end");
      if (What == "peer-ended") return Ended && Bytes.empty();
      Why += ", the sends took " + std::to_string(Sent.size()) + ", the failed one " +
             std::to_string(P->Failed.size());
      return Ended && Bytes.compare(0, Sent.size(), Sent) == 0 && Tail.size() < P->Failed.size() &&
             P->Failed.compare(0, Tail.size(), Tail) == 0;
    } else {
      throw std::runtime_error("unknown step " + Verb);
    }
    if (!Got.empty() && Verb != "flood") LastTook = Platform::TickCountMs() - Start;
    return ResultCheck(Verb, Got, Wanted, Why);
  });
  Sender.Join();
  for (const int32_t Id : Live) {
    if (Destroy(Id) == teSUCCESS) continue;
    std::printf("FAIL at the end: DestroyTermination(%d) did not succeed\n", static_cast<int>(Id));
    Passed = false;
  }
  return Passed;
}

}  // namespace

bool RunTcpCase(const std::vector<TCaseStep>& Steps) {
  if (!Platform::StartSockets()) return false;
  const Platform::TLibrary Library = Platform::LoadLibraryByName(BinaryDir() + "tcp\\cl_vexo_transport.dll");
  bool Passed = false;
  try {
    if (Library == nullptr)
      throw std::runtime_error("cannot load it: error " + std::to_string(Platform::LastError()));
    Passed = Play(Library, Steps);
  } catch (const std::exception& Error) {
    std::printf("FAIL: tcp/cl_vexo_transport.dll: %s\n", Error.what());
  }
  if (Library != nullptr) Platform::UnloadLibrary(Library);
  Platform::StopSockets();
  return Passed;
}

}  // namespace TestSupport
