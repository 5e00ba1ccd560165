// Transport-client cases: the client's operations and properties, the
// double's script and notices, and the transcript its handlers leave.
#include "tests/support/ClientCases.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/ForeignCall.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
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
    std::string Text = Platform::SystemErrorText(std::stoul(Pattern.substr(At + 8, End - At - 8)));
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
    LateBefore = ClientKeys::LateCalls();
  }
  ~TClientCase() { Finish(); }

  bool Play(const TCaseStep& Step, std::string& Why);
  // Lets a held handler go, joins the background notice, frees the client
  // (the double sends no disconnect notice unless told to: its wait is
  // short); false when something failed on the way.
  bool Finish();

 private:
  TTPKTClient& Live() {
    if (!Client) throw std::runtime_error("the client was freed");
    return *Client;
  }
  std::string Act(const std::string& Verb, std::string Rest);
  std::string Get(std::string Rest);
  void Set(std::string Rest);
  void Bind(const std::string& Event, const std::string& Action);
  void Handle(TTPKTClient& Sender, const std::string& Event, const std::string& Action,
              const std::string& Details);
  void Record(const std::string& Line) {
    Platform::TLockGuard Guard(Lock);
    Events += Line + "\n";
  }
  bool Notice(std::string Rest);
  void DoubleStep(std::string Rest);
  bool Expect(std::string Rest, std::string& Why);
  static void Later(void* Self);

  TTransportDouble Double;  // outlives the client
  TTPKTClient::TPointer Client;
  TTPKTClient* const Created;  // the sender every handler must be given
  const uint32_t Owner = Platform::CurrentThreadId();
  uint32_t LateBefore = 0;
  uint64_t Took = 0;  // the last operation's milliseconds
  bool Skipping = false;
  Platform::TCriticalSection Lock;
  std::string Events;  // one line a handler call, guarded by Lock
  std::atomic<bool> Misfired{false};
  Platform::TEvent Released;
  TScratchDir Scratch;
  // "background MS notice ...": one notice fired on a thread of its own.
  std::unique_ptr<Platform::TThread> Background;
  std::string LaterNotice;
  uint32_t LaterMs = 0;
  std::atomic<bool> LaterDelivered{false};
};

bool TClientCase::Play(const TCaseStep& Step, std::string& Why) {
  const std::string& Verb = Step.Verb;
  std::string Rest = Step.Rest;
  if (Skipping || Verb == "kind") return true;
  if (Verb == "expect") return Expect(Rest, Why);
  if (Rest.rfind("=>", 0) == 0) Rest.insert(0, " ");  // a step of no words but its result
  const std::string Wanted = TakeResult(Rest);
  if (Verb == "notice") {
    const bool Delivered = Notice(Rest);
    Why = "notice " + Rest + (Delivered ? " delivered" : " not delivered");
    return Delivered == (Wanted != "0");
  }
  if (Verb == "on" || Verb == "off") {  // on EVENT [ACTION], off EVENT
    const std::string Event = TakeWord(Rest);
    if (Verb == "on") return Bind(Event, Rest), true;
    return !Bound(Live(), Event, true);
  }
  if (Verb == "double") return DoubleStep(Rest), true;
  if (Verb == "clear") {  // clear calls|events
    if (Rest != "calls" && Rest != "events") throw std::runtime_error("clear " + Rest);
    Platform::TLockGuard Guard(Lock);
    if (Rest == "calls") Double.ClearLog();
    else Events.clear();
    return true;
  }
  if (Verb == "wait") {  // wait events N: the handlers have left N lines
    Why = "wait " + Rest + ": timed out";
    if (TakeWord(Rest) != "events") throw std::runtime_error("unknown wait");
    return WaitUntil([&] {
      Platform::TLockGuard Guard(Lock);
      return static_cast<long>(std::count(Events.begin(), Events.end(), '\n')) >= std::stol(Rest);
    }, WaitMs);
  }
  if (Verb == "release") return Released.Set(), true;
  if (Verb == "background") {  // background MS notice ...
    if (Background) throw std::runtime_error("a background notice is running");
    LaterMs = static_cast<uint32_t>(std::stoul(TakeWord(Rest)));
    if (TakeWord(Rest) != "notice") throw std::runtime_error("only a notice goes to the background");
    LaterNotice = Rest;
    Background = std::make_unique<Platform::TThread>();
    if (!Background->Create(&Later, this) || !Background->Start())
      throw std::runtime_error("cannot start the background thread");
    return true;
  }
  if (Verb == "join") {
    if (!Background) throw std::runtime_error("no background notice");
    Background->WaitForEnd();
    Background.reset();
    Why = "background notice " + LaterNotice + " not delivered";
    return LaterDelivered.load();
  }
  if (Verb == "require") {  // require faults-contained: else the rest is skipped
    if (Rest != "faults-contained") throw std::runtime_error("unknown requirement " + Rest);
    Skipping = !Platform::ForeignFaultsContained();
    if (Skipping) std::printf("skipped: natively a fault cannot be caught\n");
    return true;
  }
  // The client's operations: their result text, or what they raised.
  std::string Got;
  const uint64_t Start = Platform::TickCountMs();
  if (Wanted.empty()) {
    Got = Act(Verb, Rest);  // a failure fails the step with its text
  } else {
    try {
      Got = Act(Verb, Rest);
    } catch (const ETPKTClientError& Error) {
      Got = std::string("error ") + Error.what();
    } catch (const Platform::EForeignFault& Fault) {
      Got = std::string("fault ") + Fault.what();
    }
  }
  Took = Platform::TickCountMs() - Start;
  Why = Verb + " " + Rest + " gave " + EscapeBytes(Got) + ", expected " + Wanted;
  return Wanted.empty() || MatchesPattern(WithSystemTexts(Wanted), Got);
}

std::string TClientCase::Act(const std::string& Verb, std::string Rest) {
  if (Verb == "get") return Get(Rest);
  TTPKTClient& C = Live();
  if (Verb == "set") {
    Set(Rest);
  } else if (Verb == "connect") {  // created, activated and reported up
    C.CreateConnection();
    C.Activate();
    if (!Double.FireConnect() || !C.Connected()) throw std::runtime_error("no connection");
  } else if (Verb == "create") {
    C.CreateConnection();
  } else if (Verb == "destroy") {
    C.DestroyConnection();
  } else if (Verb == "activate") {
    C.Activate();
  } else if (Verb == "deactivate") {
    C.Deactivate();
  } else if (Verb == "active") {
    C.SetActive(Rest == "1");
  } else if (Verb == "stop-sending") {
    C.StopSending();
  } else if (Verb == "send") {  // send TIMEOUT BYTES|null
    const auto Timeout = static_cast<uint32_t>(std::stoul(TakeWord(Rest)));
    const std::string Bytes = DecodeBytes(Rest);
    const bool Taken = Rest == "null" ? C.Send(nullptr, 0, Timeout)
                                      : C.Send(Bytes.data(), static_cast<int32_t>(Bytes.size()), Timeout);
    return Taken ? "1" : "0";
  } else if (Verb == "free") {
    return TTPKTClient::Free(Client.release()) ? "1" : "0";
  } else {
    throw std::runtime_error("unknown step " + Verb);
  }
  return std::string();
}

std::string TClientCase::Get(std::string Rest) {
  const std::string Name = TakeWord(Rest);
  if (Name == "library-refs") return std::to_string(TransportLibraryRefCount());
  if (Name == "library-loaded") return TransportLibraryLoaded() ? "1" : "0";
  if (Name == "last-send") return Double.LastSendBytes();
  if (Name == "last-send-size") return std::to_string(Double.LastSendSize());
  if (Name == "late-calls") return std::to_string(ClientKeys::LateCalls() - LateBefore);
  TTPKTClient& C = Live();
  if (Name == "connection") return C.ConnectionString();
  if (Name == "term-id") return std::to_string(C.TermID());
  if (Name == "connected") return C.Connected() ? "1" : "0";
  if (Name == "remote-address") return C.RemoteAddress();
  if (Name == "remote-port") return std::to_string(C.RemotePort());
  if (Name == "disconnect-wait") return std::to_string(C.DisconnectWaitMs());
  if (Name == "bound") return Bound(C, Rest, false) ? "1" : "0";
  throw std::runtime_error("unknown property " + Name);
}

void TClientCase::Set(std::string Rest) {
  TTPKTClient& C = Live();
  const std::string Name = TakeWord(Rest), Value = DecodeBytes(Rest);
  if (Name == "local-address") C.SetLocalAddress(Value);
  else if (Name == "remote-address") C.SetRemoteAddress(Value);
  else if (Name == "local-port") C.SetLocalPort(static_cast<uint16_t>(std::stoul(Value)));
  else if (Name == "remote-port") C.SetRemotePort(static_cast<uint16_t>(std::stoul(Value)));
  else if (Name == "no-tpkt") C.SetNoTPKT(Value == "1");
  else if (Name == "disconnect-wait") C.SetDisconnectWaitMs(static_cast<uint32_t>(std::stoul(Value)));
  else if (Name == "callback-wait") C.SetCallbackWaitMs(static_cast<uint32_t>(std::stoul(Value)));
  else throw std::runtime_error("unknown property " + Name);
}

// Every handler leaves "EVENT DETAILS" and then does what its action says.
void TClientCase::Bind(const std::string& Event, const std::string& Action) {
  static const char* const Actions[] = {"", "throw", "throw-int", "unbind", "hold", "deactivate",
                                        "cancel", "clobber"};
  if (std::find(std::begin(Actions), std::end(Actions), Action) == std::end(Actions) &&
      Action.rfind("sleep ", 0) != 0)
    throw std::runtime_error("unknown handler action " + Action);
  TTPKTClient& C = Live();
  const auto Bytes = [](const void* Data, int32_t Size) {
    return Size > 0 ? std::string(static_cast<const char*>(Data), static_cast<size_t>(Size)) : "";
  };
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
        .Bind([this, Event, Action, Bytes](TTPKTClient& S, const void* Data, int32_t Size) {
          Handle(S, Event, Action, Bytes(Data, Size));
        });
  } else if (Event == "error") {  // "error OPERATION CODE MESSAGE"
    C.OnError.Bind([this, Event, Action](TTPKTClient& S, uint8_t Operation, const std::string& Message, int32_t& Code) {
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

void TClientCase::Handle(TTPKTClient& Sender, const std::string& Event, const std::string& Action,
                         const std::string& Details) {
  // Notices run on the library's threads; OnError on the failing caller's.
  if (&Sender != Created || (Event != "error" && Platform::CurrentThreadId() == Owner))
    Misfired = true;
  Record(Event + " " + Details);
  if (Action == "throw") throw std::runtime_error(Event + " handler");
  if (Action == "throw-int") throw 42;
  if (Action == "unbind") Bound(Sender, Event, true);
  if (Action == "hold") Released.Wait(WaitMs);
  if (Action.rfind("sleep ", 0) == 0) Platform::SleepMs(static_cast<uint32_t>(std::stoul(Action.substr(6))));
  if (Action == "hold" || Action.rfind("sleep ", 0) == 0) Record("left " + Event);
}

// notice connect|disconnect|receive BYTES|aux BYTES|end-strays: delivered?
bool TClientCase::Notice(std::string Rest) {
  const std::string Kind = TakeWord(Rest);
  if (Kind == "connect") return Double.FireConnect();
  if (Kind == "disconnect") return Double.FireDisconnect();
  if (Kind == "receive") return Double.FireReceive(DecodeBytes(Rest));
  if (Kind == "aux") return Double.FireAuxReceive(DecodeBytes(Rest));
  if (Kind == "end-strays") return Double.EndStrays(), true;
  throw std::runtime_error("unknown notice " + Kind);
}

void TClientCase::Later(void* Self) {
  auto* This = static_cast<TClientCase*>(Self);
  Platform::SleepMs(This->LaterMs);
  This->LaterDelivered = This->Notice(This->LaterNotice);
}

void TClientCase::DoubleStep(std::string Rest) {
  const std::string Setting = TakeWord(Rest), Entry = TakeWord(Rest);
  if (Setting == "result") {  // result ENTRY CODE [LASTERROR]
    const int32_t Code = std::stoi(TakeWord(Rest));
    Double.SetResult(Entry, Code, Rest.empty() ? 0 : static_cast<uint32_t>(std::stoul(Rest)));
  } else if (Setting == "fault") {  // fault ENTRY COUNT
    Double.SetFault(Entry, std::stoi(Rest));
  } else if (Setting == "auto-disconnect") {
    Double.SetAutoDisconnect(true);
  } else if (Setting == "late-notices") {  // late-notices all|KINDS MS (DoubleControl.h)
    Double.SetLateNotices(Entry == "all" ? 15 : std::stoi(Entry), std::stoi(Rest));
  } else if (Setting == "rewrite-termid") {
    if (!Double.RewriteTermID(std::stoi(Entry))) throw std::runtime_error("no termination");
  } else {
    throw std::runtime_error("unknown double setting " + Setting);
  }
}

// expect calls|events HOW PATTERN, expect count ENTRY N, expect took N..M
bool TClientCase::Expect(std::string Rest, std::string& Why) {
  const std::string What = TakeWord(Rest);
  if (What == "count") {
    const std::string Entry = TakeWord(Rest);
    Why = Entry + " called " + std::to_string(Double.CallCount(Entry)) + " times";
    return InRange(Double.CallCount(Entry), Rest);
  }
  if (What == "took") {
    Why = "took " + std::to_string(Took) + " ms";
    return InRange(static_cast<long>(Took), Rest);
  }
  std::string Text;
  if (What == "calls") {
    Text = Double.CallLog();
  } else if (What == "events") {
    Platform::TLockGuard Guard(Lock);
    Text = Events;
  } else {
    throw std::runtime_error("unknown expectation " + What);
  }
  const std::string How = TakeWord(Rest);
  Why = What + " " + How + " " + Rest + "; they were:\n" + EscapeBytes(Text);
  return TextCheck(How, WithSystemTexts(Rest), Text);
}

bool TClientCase::Finish() {
  Released.Set();
  bool Passed = true;
  if (Background) {
    Background->WaitForEnd();
    Background.reset();
    Passed = LaterDelivered.load();
    if (!Passed) std::printf("FAIL: background notice %s not delivered\n", LaterNotice.c_str());
  }
  if (Client) Client->SetDisconnectWaitMs(100);
  Client.reset();
  if (Misfired.exchange(false)) {
    std::printf("FAIL: a handler ran on the owner's thread or was given another sender\n");
    Passed = false;
  }
  return Passed;
}

}  // namespace

bool RunClientCase(const std::vector<TCaseStep>& Steps) {
  TClientCase Case;
  const bool Played =
      PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) { return Case.Play(Step, Why); });
  return Case.Finish() && Played;
}

}  // namespace TestSupport
