// The transport client against the transport double: connection state and
// events, sending with its waits, error texts byte for byte, properties, and
// the guarantees of destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/ForeignCall.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"
#include "standins/transport-double/DoubleControl.h"
#include "transport/ClientKeys.h"
#include "transport/TPKTClient.h"
#include "transport/TransportLibrary.h"

namespace {

// The operation messages up to the connection text, in code page 1251.
const std::string CreateText =  // "Не удалось создать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xF1\xEE\xE7\xE4\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (";
const std::string DestroyText =  // "Не удалось разрушить соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xF0\xE0\xE7\xF0\xF3\xF8\xE8\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (";
const std::string ActivateText =  // "Не удалось активировать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (";
const std::string DeactivateText =  // "Не удалось деактивировать соединение ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE4\xE5\xE0\xEA\xF2\xE8\xE2\xE8\xF0\xEE\xE2\xE0\xF2\xFC "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 (";
const std::string SendText =  // "Не удалось выслать данные на сервер ("
    "\xCD\xE5 \xF3\xE4\xE0\xEB\xEE\xF1\xFC \xE2\xFB\xF1\xEB\xE0\xF2\xFC \xE4\xE0\xED\xED\xFB\xE5 "
    "\xED\xE0 \xF1\xE5\xF0\xE2\xE5\xF0 (";
const std::string RefusalText =  // "Нельзя изменить значение свойства когда соединение активно."
    "\xCD\xE5\xEB\xFC\xE7\xFF \xE8\xE7\xEC\xE5\xED\xE8\xF2\xFC \xE7\xED\xE0\xF7\xE5\xED\xE8\xE5 "
    "\xF1\xE2\xEE\xE9\xF1\xF2\xE2\xE0 \xEA\xEE\xE3\xE4\xE0 \xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 "
    "\xE0\xEA\xF2\xE8\xE2\xED\xEE.";

const std::string Connection = "0.0.0.0:0,192.0.2.10:900";

// The text of the ETPKTClientError that Body raises.
std::string ErrorOf(const std::function<void()>& Body) {
  try {
    Body();
  } catch (const ETPKTClientError& Error) {
    return Error.what();
  }
  return "(nothing raised)";
}

// The system text for Code as the client shows it: without trailing blanks,
// control characters and dots.
std::string Trimmed(uint32_t Code) {
  std::string Text = Platform::SystemErrorText(Code);
  while (!Text.empty() && (static_cast<unsigned char>(Text.back()) <= ' ' || Text.back() == '.')) {
    Text.pop_back();
  }
  return Text;
}

// Each library entry that fails an operation, the operation's number and
// message, and the call that makes it: in an order that keeps the connection
// up for the operations that need it.
struct TOperation {
  const char* Entry;
  uint8_t Operation;
  const std::string* Text;
  void (*Run)(TTPKTClient&);
};
const TOperation Operations[] = {
    {"SendToServer", 4, &SendText, [](TTPKTClient& C) { C.Send("x", 1, 0); }},
    {"DisconnectFromServer", 3, &DeactivateText, [](TTPKTClient& C) { C.Deactivate(); }},
    {"DestroyTermination", 1, &DestroyText, [](TTPKTClient& C) { C.DestroyConnection(); }},
    {"ConnectToServer", 2, &ActivateText, [](TTPKTClient& C) { C.Activate(); }},
    {"CreateTermination", 0, &CreateText, [](TTPKTClient& C) { C.CreateConnection(); }},
};

// Runs Body on a thread of its own; the destructor waits for its end.
class TBackground {
public:
  explicit TBackground(std::function<void()> Body) : Body(std::move(Body)) {
    EXPECT_TRUE(Thread.Create(&Run, this));
    EXPECT_TRUE(Thread.Start());
  }
  ~TBackground() { Thread.WaitForEnd(); }

private:
  static void Run(void* Self) { static_cast<TBackground*>(Self)->Body(); }
  std::function<void()> Body;
  Platform::TThread Thread;
};

class TPKTClientTest : public ::testing::Test {
protected:
  TPKTClientTest() : Client(TTPKTClient::Create()) {
    Client->SetLocalAddress("0.0.0.0");
    Client->SetLocalPort(0);
    Client->SetRemoteAddress("192.0.2.10");
    Client->SetRemotePort(900);
  }
  // The double sends no disconnect notice unless told to: keep the client's
  // wait for it at its end short.
  ~TPKTClientTest() override {
    if (Client) Client->SetDisconnectWaitMs(100);
  }

  // Creates and activates the connection and lets the library report it up.
  void Connect() {
    Client->CreateConnection();
    Client->Activate();
    ASSERT_TRUE(Double.FireConnect());
    ASSERT_TRUE(Client->Connected());
  }

  TestSupport::TTransportDouble Double;  // outlives the client
  TTPKTClient::TPointer Client;
};

// ------------------------------------------------------------ connection state

TEST_F(TPKTClientTest, ConnectedOnlyOnceTheLibraryReportsTheConnection) {
  Client->CreateConnection();
  EXPECT_EQ(Client->TermID(), 100);
  Client->Activate();
  EXPECT_FALSE(Client->Connected());
  EXPECT_EQ(Double.CallLog(), "CreateTermination(" + Connection + ")\nConnectToServer(100)\n");

  std::atomic<uint32_t> ConnectThread{0};
  Client->OnConnect.Bind([&](TTPKTClient& Sender) {
    EXPECT_EQ(&Sender, Client.get());
    EXPECT_TRUE(Sender.Connected());
    ConnectThread = Platform::CurrentThreadId();
  });
  ASSERT_TRUE(Double.FireConnect());
  EXPECT_TRUE(Client->Connected());
  EXPECT_NE(ConnectThread.load(), 0u);
  EXPECT_NE(ConnectThread.load(), Platform::CurrentThreadId());
}

TEST_F(TPKTClientTest, ConnectionTextEndsWithNoTpktOption) {
  EXPECT_EQ(Client->ConnectionString(), Connection);
  Client->SetNoTPKT(true);
  Client->SetLocalPort(65535);
  EXPECT_EQ(Client->ConnectionString(), "0.0.0.0:65535,192.0.2.10:900,NOTPKT=YES");
  Client->CreateConnection();
  EXPECT_EQ(Double.CallLog(), "CreateTermination(0.0.0.0:65535,192.0.2.10:900,NOTPKT=YES)\n");
}

TEST_F(TPKTClientTest, ActiveStartsOnlyWhatIsMissing) {
  Client->SetActive(true);  // no termination: create it, then connect
  EXPECT_EQ(Double.CallLog(), "CreateTermination(" + Connection + ")\nConnectToServer(100)\n");

  Double.ClearLog();
  Client->SetActive(true);  // a termination that is down: only connect
  EXPECT_EQ(Double.CallLog(), "ConnectToServer(100)\n");

  ASSERT_TRUE(Double.FireConnect());
  Double.ClearLog();
  Client->SetActive(true);  // connected: nothing
  EXPECT_EQ(Double.CallLog(), "");

  Client->SetActive(false);
  Client->SetActive(false);  // deactivates in every state
  EXPECT_EQ(Double.CallLog(), "DisconnectFromServer(100)\nDisconnectFromServer(100)\n");
}

// --------------------------------------------------------------------- sending

TEST_F(TPKTClientTest, SendPassesBytesAndTheKeepAliveFormUnchanged) {
  Connect();
  Double.ClearLog();
  const std::string Bytes("\x04Op=1\0", 6);
  EXPECT_TRUE(Client->Send(Bytes.data(), 6, 1000));
  EXPECT_EQ(Double.LastSendBytes(), Bytes);
  EXPECT_TRUE(Client->Send(nullptr, 0, 0));
  EXPECT_EQ(Double.LastSendSize(), 0);
  EXPECT_EQ(Double.CallLog(), "SendToServer(100,044f703d3100,6)\nSendToServer(100,null,0)\n");
}

TEST_F(TPKTClientTest, SendWhileConnectingTimesOutWithCode2) {
  Client->CreateConnection();
  Client->Activate();
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 0); }),
            SendText + Connection + "). teCONNECTTIMEOUTED(2)");

  const uint64_t Start = Platform::TickCountMs();
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 150); }),
            SendText + Connection + "). teCONNECTTIMEOUTED(2)");
  EXPECT_GE(Platform::TickCountMs() - Start, 140u);
  EXPECT_EQ(Double.CallCount("SendToServer"), 0);
}

TEST_F(TPKTClientTest, SendWaitsForTheConnectNotice) {
  Client->CreateConnection();
  Client->Activate();
  TBackground Later([&] {
    Platform::SleepMs(100);
    Double.FireConnect();
  });
  EXPECT_TRUE(Client->Send("ab", 2, 10000));
  EXPECT_EQ(Double.CallCount("SendToServer"), 1);
}

TEST_F(TPKTClientTest, SendAfterDeactivateReachesLibraryUntilTheDisconnectNotice) {
  Connect();
  Client->Deactivate();
  EXPECT_TRUE(Client->Send("ab", 2, 0));  // still connected: goes to the library
  EXPECT_EQ(Double.CallCount("SendToServer"), 1);

  ASSERT_TRUE(Double.FireDisconnect());
  const uint64_t Start = Platform::TickCountMs();
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 10000); }),
            SendText + Connection + "). teDISCONNECT(8)");
  EXPECT_LT(Platform::TickCountMs() - Start, 2000u);  // at once, not after the time-out
  EXPECT_EQ(Double.CallCount("SendToServer"), 1);

  Client->Activate();  // a new attempt clears the deactivation: waiting again
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 0); }),
            SendText + Connection + "). teCONNECTTIMEOUTED(2)");

  ASSERT_TRUE(Double.FireConnect());
  Client->StopSending();  // the owner's stop: up or not, nothing more goes out
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 10000); }),
            SendText + Connection + "). teDISCONNECT(8)");
  EXPECT_EQ(Double.CallCount("SendToServer"), 1);
}

TEST_F(TPKTClientTest, ServerLossWithoutDeactivationWaitsForReconnect) {
  Connect();
  ASSERT_TRUE(Double.FireDisconnect());
  EXPECT_FALSE(Client->Connected());
  EXPECT_EQ(ErrorOf([&] { Client->Send("ab", 2, 50); }),
            SendText + Connection + "). teCONNECTTIMEOUTED(2)");
  ASSERT_TRUE(Double.FireConnect());
  EXPECT_TRUE(Client->Send("ab", 2, 0));
}

// ---------------------------------------------------------------- error texts

// Each operation reports its own message, filled with the connection text.
TEST_F(TPKTClientTest, EachOperationNamesItselfInItsError) {
  Client->SetDisconnectWaitMs(50);
  Connect();
  for (const TOperation& Case : Operations) {
    SCOPED_TRACE(Case.Entry);
    Double.SetResult(Case.Entry, teINVALIDPARAMS);
    EXPECT_EQ(ErrorOf([&] { Case.Run(*Client); }),
              *Case.Text + Connection + "). teINVALIDPARAMS(3)");

    int Calls = 0;
    Client->OnError.Bind([&](TTPKTClient& Sender, uint8_t Operation, const std::string& Message,
                             int32_t& ErrorCode) {
      ++Calls;
      EXPECT_EQ(&Sender, Client.get());
      EXPECT_EQ(Operation, Case.Operation);
      EXPECT_EQ(Message, *Case.Text + Connection + ").");
      EXPECT_EQ(ErrorCode, 3);
    });
    EXPECT_EQ(ErrorOf([&] { Case.Run(*Client); }),
              *Case.Text + Connection + "). teINVALIDPARAMS(3)");
    EXPECT_EQ(Calls, 1);
    Client->OnError.Unbind();
    Double.SetResult(Case.Entry, 0);
  }
}

// A fault inside a library call (here an access violation) leaves the
// operation as EForeignFault with the guard's text; there is no code to offer
// to OnError, and a faulting create leaves no termination.
TEST_F(TPKTClientTest, AFaultInsideEachOperationLeavesItAsForeignFault) {
  if (!Platform::ForeignFaultsContained()) {
    GTEST_SKIP() << "natively a fault cannot be caught: the guard calls straight through";
  }
  Client->SetDisconnectWaitMs(50);
  Connect();
  int OffersToOnError = 0;
  Client->OnError.Bind([&](TTPKTClient&, uint8_t, const std::string&, int32_t&) { ++OffersToOnError; });
  for (const TOperation& Case : Operations) {
    SCOPED_TRACE(Case.Entry);
    const int32_t TermID = Client->TermID();
    Double.SetFault(Case.Entry, 1);
    std::string Text = "(nothing raised)";
    try {
      Case.Run(*Client);
    } catch (const Platform::EForeignFault& Fault) {
      Text = Fault.what();
    }
    EXPECT_EQ(Text.rfind("access violation writing address ", 0), 0u) << Text;
    EXPECT_EQ(Client->TermID(), TermID);
    EXPECT_EQ(Double.CallCount(Case.Entry), 1);  // recorded as it faulted
    Double.ClearLog();
  }
  EXPECT_EQ(OffersToOnError, 0);
  EXPECT_EQ(Client->TermID(), 100);  // the destroy faulted, the create too
}

TEST_F(TPKTClientTest, FailedCreateLeavesNoTermination) {
  Double.SetResult("CreateTermination", teNODLLFOUND);
  EXPECT_EQ(ErrorOf([&] { Client->CreateConnection(); }),
            CreateText + Connection + "). teNODLLFOUND(5)");
  EXPECT_EQ(Client->TermID(), -1);
}

TEST_F(TPKTClientTest, UnknownCodesAreNamedSo) {
  Connect();
  for (const int32_t Code : {-1, 9}) {
    Double.SetResult("SendToServer", Code);
    EXPECT_EQ(ErrorOf([&] { Client->Send("x", 1, 0); }),
              SendText + Connection + "). Unknown error(" + std::to_string(Code) + ")");
  }
}

TEST_F(TPKTClientTest, Code1NamesTheSystemErrorJoinedToTheMessage) {
  Connect();
  Double.SetResult("SendToServer", teLASTERROR, Platform::ErrorAccessDenied);
  const std::string Text = ErrorOf([&] { Client->Send("x", 1, 0); });
  EXPECT_EQ(Text, SendText + Connection + ").Win32 Error: " + Trimmed(5) + "(5)");
  // The system's own text loses its line end and closing dot.
  ASSERT_FALSE(Trimmed(5).empty());
  EXPECT_NE(Trimmed(5).back(), '.');
  EXPECT_NE(Text.find(Trimmed(5) + "(5)"), std::string::npos);
}

// Regression: the handler's own work (here a file write and an explicit
// change) replaced the thread's last error before the message was made, so
// the message named the wrong system error.
TEST_F(TPKTClientTest, Code1KeepsTheSystemErrorOfTheFailedCallAcrossTheHandler) {
  TestSupport::TScratchDir Scratch;
  Connect();
  Double.SetResult("SendToServer", teLASTERROR, Platform::ErrorAccessDenied);
  int32_t CodeSeen = 0;
  Client->OnError.Bind([&](TTPKTClient&, uint8_t, const std::string&, int32_t& ErrorCode) {
    CodeSeen = ErrorCode;
    TestSupport::WriteFileBytes(Scratch.Path() + "handler.log", "line\r\n");
    Platform::OpenForAppend(Scratch.Path() + "missing\\x.log");  // fails: path not found
    Platform::SetLastError(Platform::ErrorFileNotFound);
  });
  EXPECT_EQ(ErrorOf([&] { Client->Send("x", 1, 0); }),
            SendText + Connection + ").Win32 Error: " + Trimmed(5) + "(5)");
  EXPECT_EQ(CodeSeen, 1);
}

TEST_F(TPKTClientTest, HandlerCancellingMakesSendReturnFalse) {
  Client->CreateConnection();
  Client->Activate();
  int32_t CodeSeen = -100;
  Client->OnError.Bind([&](TTPKTClient&, uint8_t, const std::string&, int32_t& ErrorCode) {
    CodeSeen = ErrorCode;
    ErrorCode = 0;
  });
  bool Result = true;
  EXPECT_EQ(ErrorOf([&] { Result = Client->Send("x", 1, 0); }), "(nothing raised)");
  EXPECT_FALSE(Result);
  EXPECT_EQ(CodeSeen, 2);
}

// ------------------------------------------------------------------ properties

TEST_F(TPKTClientTest, PropertiesRefuseChangesWhileConnected) {
  Client->SetRemoteAddress("Server.Example");
  Connect();
  const std::function<void()> Changes[] = {
      [&] { Client->SetRemotePort(901); }, [&] { Client->SetLocalPort(1); },
      [&] { Client->SetRemoteAddress("192.0.2.11"); }, [&] { Client->SetLocalAddress("127.0.0.1"); },
      [&] { Client->SetNoTPKT(true); }};
  for (const auto& Change : Changes) EXPECT_EQ(ErrorOf(Change), RefusalText);
  EXPECT_EQ(Client->ConnectionString(), "0.0.0.0:0,Server.Example:900");

  // The same value, or the same text in other letter case, is no change.
  EXPECT_EQ(ErrorOf([&] { Client->SetRemotePort(900); }), "(nothing raised)");
  EXPECT_EQ(ErrorOf([&] { Client->SetRemoteAddress("SERVER.example"); }), "(nothing raised)");
  EXPECT_EQ(Client->RemoteAddress(), "Server.Example");

  ASSERT_TRUE(Double.FireDisconnect());
  Client->SetRemoteAddress("server.EXAMPLE");  // nor while down
  EXPECT_EQ(Client->RemoteAddress(), "Server.Example");
  Client->SetRemotePort(901);
  EXPECT_EQ(Client->RemotePort(), 901);
}

// ------------------------------------------------------------- notifications

TEST_F(TPKTClientTest, ReceivedBytesReachTheirOwnEvents) {
  Connect();
  std::string Received, AuxReceived;
  Client->OnReceive.Bind([&](TTPKTClient&, const void* Data, int32_t Size) {
    Received.assign(static_cast<const char*>(Data), Size);
  });
  Client->OnAuxReceive.Bind([&](TTPKTClient&, const void* Data, int32_t Size) {
    AuxReceived.assign(static_cast<const char*>(Data), Size);
  });
  ASSERT_TRUE(Double.FireReceive(std::string("\x05\x00Sess=1\0", 9)));
  ASSERT_TRUE(Double.FireAuxReceive("aux"));
  EXPECT_EQ(Received, std::string("\x05\x00Sess=1\0", 9));
  EXPECT_EQ(AuxReceived, "aux");
}

TEST_F(TPKTClientTest, ExceptionsInHandlersStopAtTheCallback) {
  Client->OnConnect.Bind([](TTPKTClient&) { throw std::runtime_error("connect handler"); });
  Client->OnReceive.Bind([](TTPKTClient&, const void*, int32_t) { throw 42; });
  Client->CreateConnection();
  Client->Activate();
  ASSERT_TRUE(Double.FireConnect());
  EXPECT_TRUE(Client->Connected());  // set before the handler ran
  EXPECT_TRUE(Double.FireReceive("x"));
  EXPECT_TRUE(Double.FireReceive("y"));  // the library's thread lives on
}

TEST_F(TPKTClientTest, DisconnectHandlerMayAskForDeactivationOnce) {
  Connect();
  int Seen = 0;
  bool SawConnected = false;
  Client->OnDisconnect.Bind([&](TTPKTClient& Sender, bool& DeactivateRequested) {
    ++Seen;
    SawConnected = Sender.Connected();
    EXPECT_FALSE(DeactivateRequested);
    DeactivateRequested = true;
  });
  Double.ClearLog();
  ASSERT_TRUE(Double.FireDisconnect());
  EXPECT_EQ(Seen, 1);
  EXPECT_TRUE(SawConnected);
  EXPECT_FALSE(Client->Connected());
  EXPECT_EQ(Double.CallLog(), "DisconnectFromServer(100)\n");

  ASSERT_TRUE(Double.FireDisconnect());  // ignored until the next connect notice
  ASSERT_TRUE(Double.FireDisconnect());
  EXPECT_EQ(Seen, 1);
  EXPECT_EQ(Double.CallCount("DisconnectFromServer"), 1);

  ASSERT_TRUE(Double.FireConnect());
  ASSERT_TRUE(Double.FireDisconnect());
  EXPECT_EQ(Seen, 2);
  EXPECT_EQ(Double.CallCount("DisconnectFromServer"), 2);
}

TEST_F(TPKTClientTest, DisconnectHandlerLeavingTheFlagKeepsTheConnectionActive) {
  Connect();
  std::vector<bool> SawConnected;
  Client->OnDisconnect.Bind(
      [&](TTPKTClient& Sender, bool&) { SawConnected.push_back(Sender.Connected()); });
  Double.ClearLog();
  ASSERT_TRUE(Double.FireDisconnect());
  ASSERT_TRUE(Double.FireDisconnect());  // a failed reconnect attempt: reported, not connected
  EXPECT_EQ(SawConnected, (std::vector<bool>{true, false}));
  EXPECT_EQ(Double.CallLog(), "");
}

// ------------------------------------------------------------------ the events

// Regression: unbinding an event while a transport thread ran its handler let
// the handler's owner go away under it.
TEST_F(TPKTClientTest, UnbindWaitsForAHandlerRunningOnAnotherThread) {
  Connect();
  Platform::TEvent Entered;
  std::atomic<bool> Finished{false};
  std::atomic<int> Calls{0};
  Client->OnReceive.Bind([&](TTPKTClient&, const void*, int32_t) {
    ++Calls;
    Entered.Set();
    Platform::SleepMs(200);
    Finished = true;
  });
  {
    TBackground Fire([&] { Double.FireReceive("x"); });
    ASSERT_EQ(Entered.Wait(10000), Platform::TWaitResult::Signaled);
    Client->OnReceive.Unbind();
    EXPECT_TRUE(Finished);
    EXPECT_FALSE(Client->OnReceive.IsBound());
  }
  ASSERT_TRUE(Double.FireReceive("y"));
  EXPECT_EQ(Calls, 1);
}

TEST_F(TPKTClientTest, AHandlerMayUnbindItsOwnEvent) {
  Connect();
  int Calls = 0;
  Client->OnReceive.Bind([&](TTPKTClient& Sender, const void*, int32_t) {
    ++Calls;
    Sender.OnReceive.Unbind();
  });
  ASSERT_TRUE(Double.FireReceive("x"));
  ASSERT_TRUE(Double.FireReceive("y"));
  EXPECT_EQ(Calls, 1);
}

// ----------------------------------------------------------------- destruction

TEST_F(TPKTClientTest, DestroyWaitsForTheDisconnectNotice) {
  Connect();
  Double.SetAutoDisconnect(true);
  int Seen = 0;
  Client->OnDisconnect.Bind([&](TTPKTClient&, bool& DeactivateRequested) {
    ++Seen;
    DeactivateRequested = true;  // while destroying: no second deactivation
  });
  Double.ClearLog();
  const uint64_t Start = Platform::TickCountMs();
  Client->DestroyConnection();
  EXPECT_LT(Platform::TickCountMs() - Start, 3000u);
  EXPECT_EQ(Seen, 1);
  EXPECT_EQ(Double.CallLog(), "DisconnectFromServer(100)\nDestroyTermination(100)\n");
  EXPECT_EQ(Client->TermID(), -1);
  EXPECT_FALSE(Client->Connected());

  Double.ClearLog();
  Client->DestroyConnection();  // nothing left to destroy
  EXPECT_EQ(Double.CallLog(), "");
}

// A library that never reports the connection down holds the owner thread
// for at most the bound (5000 ms unless lowered).
TEST_F(TPKTClientTest, DestroyGivesUpWaitingForAMissingNotice) {
  EXPECT_EQ(Client->DisconnectWaitMs(), 5000u);
  Client->SetDisconnectWaitMs(200);
  Connect();
  Double.ClearLog();
  const uint64_t Start = Platform::TickCountMs();
  Client->DestroyConnection();
  const uint64_t Elapsed = Platform::TickCountMs() - Start;
  EXPECT_GE(Elapsed, 190u);
  EXPECT_LT(Elapsed, 3000u);
  EXPECT_EQ(Double.CallLog(), "DisconnectFromServer(100)\nDestroyTermination(100)\n");
  EXPECT_EQ(Client->TermID(), -1);
}

TEST_F(TPKTClientTest, DestroyOfAConnectionThatIsDownOnlyDestroysTheTermination) {
  Client->CreateConnection();
  Client->Activate();
  Double.ClearLog();
  Client->DestroyConnection();
  EXPECT_EQ(Double.CallLog(), "DestroyTermination(100)\n");
}

TEST_F(TPKTClientTest, FailedDeactivateDuringDestroyStopsThere) {
  Connect();
  Double.SetResult("DisconnectFromServer", teINVALIDPARAMS);
  EXPECT_EQ(ErrorOf([&] { Client->DestroyConnection(); }),
            DeactivateText + Connection + "). teINVALIDPARAMS(3)");
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 0);
  EXPECT_EQ(Client->TermID(), 100);
}

TEST_F(TPKTClientTest, FailedDestroyKeepsTheTerminationAndStillReleasesTheLibrary) {
  Client->SetDisconnectWaitMs(100);
  Connect();
  Double.SetResult("DestroyTermination", teINVALIDPARAMS);
  EXPECT_EQ(ErrorOf([&] { Client->DestroyConnection(); }),
            DestroyText + Connection + "). teINVALIDPARAMS(3)");
  EXPECT_EQ(Client->TermID(), 100);
  EXPECT_EQ(TransportLibraryRefCount(), 1);

  EXPECT_NO_THROW(Client.reset());  // the destructor's own attempt fails silently
  EXPECT_EQ(Double.CallCount("DestroyTermination"), 2);
  EXPECT_EQ(TransportLibraryRefCount(), 0);
  EXPECT_FALSE(TransportLibraryLoaded());
}

TEST_F(TPKTClientTest, DestructionDestroysALiveConnection) {
  Client->SetDisconnectWaitMs(100);
  Connect();
  Double.ClearLog();
  Client.reset();
  EXPECT_EQ(Double.CallLog(), "DisconnectFromServer(100)\nDestroyTermination(100)\n");
}

// Regression: the library was handed the address of a stack local for the
// TermID; one that kept it wrote into a dead stack slot later.
TEST_F(TPKTClientTest, TermIDIsTheClientsOwnFieldWhileTheTerminationExists) {
  Client->CreateConnection();
  ASSERT_TRUE(Double.RewriteTermID(321));
  EXPECT_EQ(Client->TermID(), 321);
  Double.ClearLog();
  Client->DestroyConnection();
  EXPECT_EQ(Double.CallLog(), "DestroyTermination(321)\n");
  EXPECT_EQ(Client->TermID(), -1);
}

// Regression: the callbacks took their user value for the client's address,
// so a call after the destroy (or after the client was freed) read freed
// memory. Each of the four, late after the destroy and again after the free,
// returns at once and is counted.
TEST_F(TPKTClientTest, LateCallbacksReachNeitherADestroyedConnectionNorAFreedClient) {
  constexpr int32_t AllKinds =
      DoubleLateConnect | DoubleLateDisconnect | DoubleLateReceive | DoubleLateAuxReceive;
  std::atomic<int> Events{0};
  Client->OnConnect.Bind([&](TTPKTClient&) { ++Events; });
  Client->OnDisconnect.Bind([&](TTPKTClient&, bool&) { ++Events; });
  Client->OnReceive.Bind([&](TTPKTClient&, const void*, int32_t) { ++Events; });
  Client->OnAuxReceive.Bind([&](TTPKTClient&, const void*, int32_t) { ++Events; });
  Client->SetDisconnectWaitMs(100);
  Connect();
  Events = 0;
  Double.SetLateNotices(AllKinds, 20);  // once the destroy or the free has returned
  const uint32_t LateBefore = ClientKeys::LateCalls();
  for (const bool FreeTheClient : {false, true}) {
    if (FreeTheClient) {
      // A new termination under the renewed key: its calls do arrive.
      Client->CreateConnection();
      ASSERT_TRUE(Double.FireReceive("x"));
      EXPECT_EQ(Events.exchange(0), 1);
      Client.reset();
    } else {
      Client->DestroyConnection();
    }
    Double.EndStrays();
    EXPECT_EQ(Events, 0) << (FreeTheClient ? "after the free" : "after the destroy");
  }
  EXPECT_EQ(ClientKeys::LateCalls() - LateBefore, 8u);
}

// A callback still inside the client when it is freed (its handler blocked,
// the library not waiting for it): the client is kept whole, its library
// reference with it, and the callback later returns into live memory.
TEST_F(TPKTClientTest, FreeKeepsAClientACallbackIsStillInside) {
  Platform::TEvent Entered, Leave;
  Client->OnReceive.Bind([&](TTPKTClient&, const void*, int32_t) {
    Entered.Set();
    Leave.Wait(10000);
  });
  Client->SetDisconnectWaitMs(100);
  Client->SetCallbackWaitMs(50);
  Connect();
  Double.SetLateNotices(0, 0);  // DestroyTermination waits for no callback
  {
    TBackground Receive([&] { Double.FireReceive("x"); });
    ASSERT_EQ(Entered.Wait(10000), Platform::TWaitResult::Signaled);
    EXPECT_FALSE(TTPKTClient::Free(Client.release()));
    EXPECT_EQ(TransportLibraryRefCount(), 1);
    Leave.Set();
  }
}

}  // namespace
