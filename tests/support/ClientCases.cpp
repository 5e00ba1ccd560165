// Transport-client cases: the client's operations and properties, the
// double's script and notices, and the transcript its handlers leave.
#include "tests/support/CaseKinds.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/ForeignCall.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/DoubleSteps.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"
#include "transport/ClientKeys.h"
#include "transport/TPKTClient.h"
#include "transport/TransportLibrary.h"

namespace TestSupport {

namespace {

constexpr uint32_t WaitMs = 10000;  // no step of a sound run comes near it

// %SYSTEM:N% in a pattern: the system's text for N as the client must show
// it, trimmed here on its own terms (no trailing blanks, control characters
// or dots), not by the client's helper.
std::string WithSystemTexts(std::string Pattern) {
  for (size_t At; (At = Pattern.find("%SYSTEM:")) != std::string::npos;) {
    const size_t End = Pattern.find('%', At + 8);
    if (End == std::string::npos) throw std::runtime_error("unclosed %SYSTEM:");
    std::string Text = Platform::SystemErrorText(Number(Pattern.substr(At + 8, End - At - 8)));
    while (!Text.empty() && (static_cast<unsigned char>(Text.back()) <= ' ' || Text.back() == '.'))
      Text.pop_back();
    if (Text.empty()) throw std::runtime_error("no system text for " + Pattern.substr(At, End - At));
    Pattern.replace(At, End - At + 1, EscapeBytes(Text));
  }
  return Pattern;
}

// The event named so: unbound first when Unbind; whether it is bound.
bool Bound(TTPKTClient& Client, const std::string& Event, bool Unbind) {
  const auto Check = [Unbind](auto& Handlers) {
    if (Unbind) Handlers.Unbind();
    return Handlers.IsBound();
  };
  if (Event == "connect") return Check(Client.OnConnect);
  if (Event == "disconnect") return Check(Client.OnDisconnect);
  if (Event == "receive") return Check(Client.OnReceive);
  if (Event == "aux") return Check(Client.OnAuxReceive);
  if (Event == "error") return Check(Client.OnError);
  throw std::runtime_error("unknown event " + Event);
}

class TClientCase {
 public:
  TClientCase() : Client(TTPKTClient::Create()), Created(Client.get()) {
    Client->SetLocalAddress("0.0.0.0");
    Client->SetLocalPort(0);
    Client->SetRemoteAddress("192.0.2.10");
    Client->SetRemotePort(900);
  }
  ~TClientCase() { Finish(); }

  bool Play(const TCaseStep& Step, std::string& Why) {
    const std::string& Verb = Step.Verb;
    std::string Rest = Step.Rest;
    if (Verb == "expect") return Expect(Rest, Why);
    const std::string Wanted = TakeResult(Rest);
    Why = Verb + " " + Rest + ": ";
    if (Verb == "notice") return Why += "not as expected", FireNotice(Double, Rest) == (Wanted != "0");
    if (Verb == "on") {  // on EVENT [ACTION]
      const std::string Event = TakeWord(Rest);
      return Bind(Event, Rest), true;
    }
    if (Verb == "off") return !Bound(Live(), Rest, true);
    if (Verb == "double") return ScriptDouble(Double, Rest), true;
    if (Verb == "clear" && Rest == "calls") return Double.ClearLog(), true;
    if (Verb == "clear" && Rest == "events") return Events.Text("", true), true;
    if (Verb == "wait" && TakeWord(Rest) == "events") {  // wait events N: N lines in the transcript
      Why += "timed out";
      return WaitUntil([&] { return Events.Lines().size() >= Number(Rest); }, WaitMs);
    }
    if (Verb == "release") return Released.Set(), true;
    if (Verb == "later") {  // later MS notice ...: the notice on a thread of its own
      if (Rest.find(" notice ") == std::string::npos) throw std::runtime_error("only a notice plays later");
      const auto Played = [this](const TCaseStep& Notice, std::string& Failed) { return Play(Notice, Failed); };
      return Why += "a later step still runs, or no thread", Later.StartLater(Step, Played);
    }
    if (Verb == "join" && Later.Running()) return Why += "the later step failed", Later.Join();
    // The client's operations: their result text, or what they raised.
    std::string Got;
    const uint64_t Start = Platform::TickCountMs();
    try {
      Got = Operate(Verb, Rest);
    } catch (const ETPKTClientError& Error) {
      if (Wanted.empty()) throw;  // a failure nobody expected fails the step with its text
      Got = std::string("error ") + Error.what();
    } catch (const Platform::EForeignFault& Fault) {
      if (Wanted.empty()) throw;
      Got = std::string("fault ") + Fault.what();
    }
    Took = Platform::TickCountMs() - Start;
    return Wanted.empty() || ResultCheck(Verb + " " + Rest, Got, WithSystemTexts(Wanted), Why);
  }

  // Lets a held handler go, joins the background notice and frees the
  // client (the double sends no disconnect notice unless told to: the wait
  // for it is short); false when a check failed on the way.
  bool Finish() {
    Released.Set();
    const bool Passed = Later.Join();
    if (Client) Client->SetDisconnectWaitMs(100);
    Client.reset();
    if (!Misfired.exchange(false)) return Passed;
    std::printf("FAIL: a handler ran on the owner's thread or was given another sender\n");
    return false;
  }

 private:
  TTPKTClient& Live() {
    if (!Client) throw std::runtime_error("the client was freed");
    return *Client;
  }

  std::string Operate(const std::string& Verb, std::string Rest) {
    const std::string Name = TakeWord(Rest), Value = DecodeBytes(Rest);  // get|set NAME [VALUE]
    if (Verb == "get" && Name == "library-refs") return std::to_string(TransportLibraryRefCount());
    if (Verb == "get" && Name == "library-loaded") return Flag(TransportLibraryLoaded());
    if (Verb == "get" && Name == "last-send") return Double.LastSendBytes();
    if (Verb == "get" && Name == "last-send-size") return std::to_string(Double.LastSendSize());
    if (Verb == "get" && Name == "late-calls") return std::to_string(ClientKeys::LateCalls() - LateBefore);
    TTPKTClient& C = Live();
    if (Verb == "get" && Name == "connection") return C.ConnectionString();
    if (Verb == "get" && Name == "term-id") return std::to_string(C.TermID());
    if (Verb == "get" && Name == "connected") return Flag(C.Connected());
    if (Verb == "get" && Name == "remote-address") return C.RemoteAddress();
    if (Verb == "get" && Name == "remote-port") return std::to_string(C.RemotePort());
    if (Verb == "get" && Name == "disconnect-wait") return std::to_string(C.DisconnectWaitMs());
    if (Verb == "get" && Name == "bound") return Flag(Bound(C, Rest, false));
    if (Verb == "send") {  // send TIMEOUT BYTES|null
      const int32_t Size = static_cast<int32_t>(Value.size());
      const bool Taken = Rest == "null" ? C.Send(nullptr, 0, Number(Name))
                                        : C.Send(Value.data(), Size, Number(Name));
      return Flag(Taken);
    }
    if (Verb == "free") return Flag(TTPKTClient::Free(Client.release()));
    if (Verb == "connect") {  // created, activated and reported up
      C.CreateConnection();
      C.Activate();
      if (!Double.FireConnect() || !C.Connected()) throw std::runtime_error("no connection");
    } else if (Verb == "create") C.CreateConnection();
    else if (Verb == "destroy") C.DestroyConnection();
    else if (Verb == "activate") C.Activate();
    else if (Verb == "deactivate") C.Deactivate();
    else if (Verb == "active") C.SetActive(Name == "1");
    else if (Verb == "stop-sending") C.StopSending();
    else if (Verb != "set") throw std::runtime_error("unknown step " + Verb + " " + Name);
    else if (Name == "local-address") C.SetLocalAddress(Value);
    else if (Name == "remote-address") C.SetRemoteAddress(Value);
    else if (Name == "local-port") C.SetLocalPort(static_cast<uint16_t>(Number(Value)));
    else if (Name == "remote-port") C.SetRemotePort(static_cast<uint16_t>(Number(Value)));
    else if (Name == "no-tpkt") C.SetNoTPKT(Value == "1");
    else if (Name == "disconnect-wait") C.SetDisconnectWaitMs(Number(Value));
    else if (Name == "callback-wait") C.SetCallbackWaitMs(Number(Value));
    else throw std::runtime_error("unknown property " + Name);
    return std::string();
  }

  // Every handler leaves "EVENT DETAILS" and then does what its action says.
  void Bind(const std::string& Event, const std::string& Action) {
    if (!Action.empty() && Action.rfind("sleep ", 0) != 0 &&
        std::string(" throw throw-int unbind hold deactivate cancel clobber ").find(" " + Action + " ") ==
            std::string::npos)
      throw std::runtime_error("unknown handler action " + Action);
    TTPKTClient& C = Live();
    const auto Up = [](TTPKTClient& Sender) { return Sender.Connected() ? "up" : "down"; };
    if (Event == "connect") {
      C.OnConnect.Bind([this, Event, Action, Up](TTPKTClient& S) { Handle(S, Event, Action, Up(S)); });
    } else if (Event == "disconnect") {  // "disconnect up|down", " asked" when the flag came set
      C.OnDisconnect.Bind([this, Event, Action, Up](TTPKTClient& S, bool& Asked) {
        Handle(S, Event, Action, std::string(Up(S)) + (Asked ? " asked" : ""));
        if (Action == "deactivate") Asked = true;
      });
    } else if (Event == "receive" || Event == "aux") {
      (Event == "aux" ? C.OnAuxReceive : C.OnReceive)
          .Bind([this, Event, Action](TTPKTClient& S, const void* Data, int32_t Size) {
            const auto* Bytes = static_cast<const char*>(Data);
            Handle(S, Event, Action, Size > 0 ? std::string(Bytes, static_cast<size_t>(Size)) : "");
          });
    } else if (Event == "error") {  // "error OPERATION CODE MESSAGE"
      C.OnError.Bind([this, Event, Action](TTPKTClient& S, uint8_t Operation, const std::string& Message,
                                           int32_t& Code) {
        Handle(S, Event, Action, std::to_string(Operation) + " " + std::to_string(Code) + " " + Message);
        if (Action == "cancel") Code = 0;
        if (Action != "clobber") return;
        // The handler's own work replaces the thread's last error.
        WriteFileBytes(Scratch.Path() + "handler.log", "line\r\n");
        Platform::OpenForAppend(Scratch.Path() + "missing\\x.log");  // fails: path not found
        Platform::SetLastError(Platform::ErrorFileNotFound);
      });
    } else {
      throw std::runtime_error("unknown event " + Event);
    }
  }

  void Handle(TTPKTClient& Sender, const std::string& Event, const std::string& Action,
              const std::string& Details) {
    // Notices run on the library's threads; OnError on the failing caller's.
    if (&Sender != Created || (Event != "error" && Platform::CurrentThreadId() == Owner))
      Misfired = true;
    Events.Add(Event + " " + Details);
    if (Action == "throw") throw std::runtime_error(Event + " handler");
    if (Action == "throw-int") throw 42;
    if (Action == "unbind") Bound(Sender, Event, true);
    if (Action == "hold") Released.Wait(WaitMs);
    if (Action.rfind("sleep ", 0) == 0) Platform::SleepMs(Number(Action.substr(6)));
    if (Action == "hold" || Action.rfind("sleep ", 0) == 0) Events.Add("left " + Event);
  }


  // expect calls|events HOW PATTERN, expect count ENTRY N, expect took N..M
  bool Expect(std::string Rest, std::string& Why) {
    const std::string What = TakeWord(Rest);
    if (What == "took") return TookCheck(Took, Rest, Why);
    if (What == "count") {
      const std::string Entry = TakeWord(Rest);
      Why = Entry + " called " + std::to_string(Double.CallCount(Entry)) + " times";
      return InRange(Double.CallCount(Entry), Rest);
    }
    if (What != "calls" && What != "events") throw std::runtime_error("unknown expectation " + What);
    const std::string Text = What == "calls" ? Double.CallLog() : Events.Text();
    return TextExpect(What, WithSystemTexts(Rest), Text, Why);
  }

  TTransportDouble Double;  // outlives the client
  TTPKTClient::TPointer Client;
  TTPKTClient* const Created;  // the sender every handler must be given
  const uint32_t Owner = Platform::CurrentThreadId();
  const uint32_t LateBefore = ClientKeys::LateCalls();
  uint64_t Took = 0;  // the last operation's milliseconds
  TSharedLines Events;  // one line a handler call
  std::atomic<bool> Misfired{false};
  Platform::TEvent Released;
  TScratchDir Scratch;
  TCaseThread Later;  // "later MS notice ...", joined before the rest goes
};

}  // namespace

bool RunClientCase(const std::vector<TCaseStep>& Steps) {
  TClientCase Case;
  const bool Played =
      PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) { return Case.Play(Step, Why); });
  return Case.Finish() && Played;
}

}  // namespace TestSupport
