// Tests of the TCP transport library "cl_vexo_transport.dll" (loaded from
// bin/tcp) against a loopback TPKT peer played by the test itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Libraries.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Socket.h"
#include "standins/net/Tpkt.h"
#include "tests/support/DataTable.h"
#include "tests/support/RequiredEntry.h"
#include "tests/support/TestSupport.h"
#include "transport/TransportApi.h"

namespace {

constexpr uint32_t WaitMs = 5000;

// What the library's callbacks reported, in order: "C" connect, "D"
// disconnect, "R:" followed by the bytes of a received message. Written on
// the library's thread, read by the test.
class TRecorder {
public:
  void Add(int32_t Reserved, std::string Event) {
    Platform::TLockGuard Guard(Lock);
    Events.push_back(std::move(Event));
    ReservedValues.push_back(Reserved);
  }
  std::vector<std::string> Snapshot() {
    Platform::TLockGuard Guard(Lock);
    return Events;
  }
  std::vector<int32_t> Reserved() {
    Platform::TLockGuard Guard(Lock);
    return ReservedValues;
  }
  size_t CountOf(const std::string& Prefix) {
    size_t Count = 0;
    for (const std::string& Event : Snapshot()) Count += Event.rfind(Prefix, 0) == 0 ? 1 : 0;
    return Count;
  }
  // Waits until Count events start with Prefix.
  bool WaitFor(const std::string& Prefix, size_t Count, uint32_t TimeoutMs = WaitMs) {
    const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
    while (CountOf(Prefix) < Count) {
      if (Platform::TickCountMs() >= Deadline) return false;
      Platform::SleepMs(10);
    }
    return true;
  }

private:
  Platform::TCriticalSection Lock;
  std::vector<std::string> Events;      // Lock
  std::vector<int32_t> ReservedValues;  // Lock
};

void VELMORA_STDCALL OnReceive(int32_t Reserved, const void* Data, int32_t Size, void* User) {
  static_cast<TRecorder*>(User)->Add(Reserved, "R:" + std::string(static_cast<const char*>(Data),
                                                                   static_cast<size_t>(Size)));
}
void VELMORA_STDCALL OnAuxReceive(int32_t Reserved, const void*, int32_t, void* User) {
  static_cast<TRecorder*>(User)->Add(Reserved, "A");
}
void VELMORA_STDCALL OnConnect(int32_t Reserved, void* User) {
  static_cast<TRecorder*>(User)->Add(Reserved, "C");
}
void VELMORA_STDCALL OnDisconnect(int32_t Reserved, void* User) {
  static_cast<TRecorder*>(User)->Add(Reserved, "D");
}

// The library's eight entries.
struct TTransport {
  Platform::TLibrary Library = nullptr;
  TCreateTermination Create = nullptr;
  TDestroyTermination Destroy = nullptr;
  TConnectToServer Connect = nullptr;
  TDisconnectFromServer Disconnect = nullptr;
  TSendToServer Send = nullptr;
  TSetSendLoadInfoEvent SetSendLoadInfoEvent = nullptr;
  TGetConnectionInfo GetConnectionInfo = nullptr;
  TGetDNSFistServerName GetDNSFistServerName = nullptr;
};

// A loopback server for one connection at a time.
class TPeer {
public:
  // Listens on 127.0.0.1:Port (0: a port of the system's choice).
  void Listen(uint16_t Port = 0) {
    ASSERT_TRUE(Listener.Open());
    ASSERT_TRUE(Listener.SetReuseAddress());
    ASSERT_TRUE(Listener.Bind(0x7F000001u, Port)) << Platform::LastSocketError();
    ASSERT_TRUE(Listener.Listen(4));
    ListenPort = Listener.LocalPort();
  }
  bool Accept(uint32_t TimeoutMs = WaitMs) {
    Connection = Listener.Accept(TimeoutMs, &PeerAddress);
    return Connection.Valid();
  }
  // Exactly Size bytes, or what arrived before the peer closed (Ended set)
  // or time ran out.
  std::string Read(size_t Size, uint32_t TimeoutMs = WaitMs, bool* Ended = nullptr) {
    std::string Bytes;
    const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
    while (Bytes.size() < Size && Platform::TickCountMs() < Deadline) {
      if (!Connection.WaitReadable(50)) continue;
      char Buffer[70000];
      const int Got = Connection.Receive(Buffer, std::min(Size - Bytes.size(), sizeof Buffer));
      if (Got <= 0 && Ended != nullptr) *Ended = true;
      if (Got <= 0) break;
      Bytes.append(Buffer, static_cast<size_t>(Got));
    }
    return Bytes;
  }
  // True when the client closed its end (end of stream within the time).
  bool SeesEndOfStream(uint32_t TimeoutMs = WaitMs) {
    if (!Connection.WaitReadable(TimeoutMs)) return false;
    char Byte;
    return Connection.Receive(&Byte, 1) <= 0;
  }
  void Write(const std::string& Bytes) { ASSERT_TRUE(Connection.SendAll(Bytes.data(), Bytes.size())); }

  uint16_t ListenPort = 0;
  std::string PeerAddress;
  Platform::TSocket Listener;
  Platform::TSocket Connection;
};

std::string Frame(const std::string& Payload) { return Net::TpktFrame(Payload.data(), Payload.size()); }

// A loopback port on which nobody listens (taken from the system and let go).
uint16_t FreePort() {
  Platform::TSocket Probe;
  EXPECT_TRUE(Probe.Open());
  EXPECT_TRUE(Probe.Bind(0x7F000001u, 0));
  return Probe.LocalPort();
}

std::string ConnectionText(uint16_t RemotePort, const std::string& Tail = "") {
  return "127.0.0.1:0,127.0.0.1:" + std::to_string(RemotePort) + Tail;
}

class TransportTcpTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Platform::StartSockets());
    Api.Library =
        Platform::LoadLibraryByName(TestSupport::BinaryDir() + "tcp\\cl_vexo_transport.dll");
    ASSERT_NE(Api.Library, nullptr) << "error " << Platform::LastError();
    // A missing entry throws, which fails the test before its body runs.
    using TestSupport::RequiredEntry;
    const Platform::TLibrary Library = Api.Library;
    Api.Create = RequiredEntry<TCreateTermination>(Library, "CreateTermination");
    Api.Destroy = RequiredEntry<TDestroyTermination>(Library, "DestroyTermination");
    Api.Connect = RequiredEntry<TConnectToServer>(Library, "ConnectToServer");
    Api.Disconnect = RequiredEntry<TDisconnectFromServer>(Library, "DisconnectFromServer");
    Api.Send = RequiredEntry<TSendToServer>(Library, "SendToServer");
    Api.SetSendLoadInfoEvent =
        RequiredEntry<TSetSendLoadInfoEvent>(Library, "SetSendLoadInfoEvent");
    Api.GetConnectionInfo = RequiredEntry<TGetConnectionInfo>(Library, "GetConnectionInfo");
    Api.GetDNSFistServerName =
        RequiredEntry<TGetDNSFistServerName>(Library, "GetDNSFistServerName");
  }
  void TearDown() override {
    for (const int32_t Id : Live) EXPECT_EQ(Api.Destroy(Id), teSUCCESS);
    if (Api.Library != nullptr) Platform::UnloadLibrary(Api.Library);
    Platform::StopSockets();
  }

  // A termination that is destroyed at the end of the test.
  int32_t Create(const std::string& Text, TRecorder& Recorder) {
    int32_t Id = -1;
    EXPECT_EQ(Api.Create(Text.c_str(), OnReceive, OnAuxReceive, OnDisconnect, OnConnect, &Id, &Recorder),
              teSUCCESS);
    if (Id > 0) Live.push_back(Id);
    return Id;
  }
  void Forget(int32_t Id) { std::erase(Live, Id); }
  int32_t Send(int32_t Id, const std::string& Bytes) {
    return Api.Send(Id, Bytes.data(), static_cast<int32_t>(Bytes.size()));
  }
  // Has Peer listen, creates, connects and waits for the peer's accept and
  // the connect notice.
  int32_t ConnectTo(TPeer& Peer, TRecorder& Recorder, const std::string& Tail = "") {
    Peer.Listen();
    const int32_t Id = Create(ConnectionText(Peer.ListenPort, Tail), Recorder);
    EXPECT_EQ(Api.Connect(Id), teSUCCESS);
    EXPECT_TRUE(Peer.Accept());
    EXPECT_TRUE(Recorder.WaitFor("C", 1));
    return Id;
  }

  TTransport Api;
  std::vector<int32_t> Live;
  // The callbacks' user values: they outlive every termination, which
  // TearDown destroys (a destroyed connection still reports its loss).
  TRecorder Recorder;
  TRecorder OtherRecorder;
};

// ---------------------------------------------------------------- connecting

// NOTPKT=no keeps the framing.
TEST_F(TransportTcpTest, ConnectsAndFramesEveryMessage) {
  for (const char* Tail : {"", ",notpkt=no"}) {
    SCOPED_TRACE(Tail);
    TRecorder Recorder;
    TPeer Peer;
    const int32_t Id = ConnectTo(Peer, Recorder, Tail);
    ASSERT_GT(Id, 0);

    EXPECT_EQ(Send(Id, "hello"), teSUCCESS);
    EXPECT_EQ(Peer.Read(9), std::string("\x03\x00\x00\x09hello", 9));
    // The keep-alive form: a bare header.
    EXPECT_EQ(Api.Send(Id, nullptr, 0), teSUCCESS);
    EXPECT_EQ(Peer.Read(4), std::string("\x03\x00\x00\x04", 4));
    // The largest message fills the 16-bit length exactly.
    const std::string Largest(Net::TpktMaxPayload, 'x');
    EXPECT_EQ(Send(Id, Largest), teSUCCESS);
    const std::string Wire = Peer.Read(0xFFFF);
    EXPECT_EQ(Wire.size(), 0xFFFFu);
    EXPECT_TRUE(Wire == std::string("\x03\x00\xFF\xFF", 4) + Largest);

    EXPECT_EQ(Send(Id, Largest + "x"), teINVALIDPARAMS);
    EXPECT_EQ(Api.Send(Id, "abc", -1), teINVALIDPARAMS);
    EXPECT_EQ(Api.Send(Id, nullptr, 5), teINVALIDPARAMS);
    EXPECT_EQ(Recorder.Reserved(), std::vector<int32_t>{Id});
    EXPECT_EQ(Api.Destroy(Id), teSUCCESS);
    Forget(Id);
  }
}

TEST_F(TransportTcpTest, BindsTheGivenLocalAddressAndPort) {
  TPeer Peer;
  Peer.Listen();
  const uint16_t LocalPort = FreePort();
  const int32_t Id = Create("127.0.0.1:" + std::to_string(LocalPort) + ",localhost:" +
                                std::to_string(Peer.ListenPort),
                            Recorder);
  ASSERT_EQ(Api.Connect(Id), teSUCCESS);
  ASSERT_TRUE(Peer.Accept());
  EXPECT_EQ(Peer.PeerAddress, "127.0.0.1:" + std::to_string(LocalPort));
  EXPECT_TRUE(Recorder.WaitFor("C", 1));
}

TEST_F(TransportTcpTest, ConnectWhileConnectedChangesNothing) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);
  EXPECT_EQ(Api.Connect(Id), teSUCCESS);
  TPeer Second;
  Second.Connection = Peer.Listener.Accept(500);
  EXPECT_FALSE(Second.Connection.Valid()) << "a second connection was made";
  EXPECT_EQ(Recorder.Snapshot(), std::vector<std::string>{"C"});
}

// ------------------------------------------------------------------ receiving

TEST_F(TransportTcpTest, ReassemblesSplitAndCoalescedMessages) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);

  // One message a byte at a time, header included.
  for (const char Byte : Frame("abc")) {
    Peer.Write(std::string(1, Byte));
    Platform::SleepMs(15);
  }
  ASSERT_TRUE(Recorder.WaitFor("R:", 1));
  // Three messages in one write, one of them empty, and a fourth cut after
  // its header's first two bytes.
  const std::string Tail = Frame("tail");
  Peer.Write(Frame("x") + Frame("") + Frame("yz") + Tail.substr(0, 2));
  ASSERT_TRUE(Recorder.WaitFor("R:", 4));
  Platform::SleepMs(50);
  Peer.Write(Tail.substr(2));
  ASSERT_TRUE(Recorder.WaitFor("R:", 5));

  const std::vector<std::string> Expected{"C", "R:abc", "R:x", "R:", "R:yz", "R:tail"};
  EXPECT_EQ(Recorder.Snapshot(), Expected);
  for (const int32_t Reserved : Recorder.Reserved()) EXPECT_EQ(Reserved, Id);
}

TEST_F(TransportTcpTest, DeliversALargeMessageWhole) {
  TPeer Peer;
  ConnectTo(Peer, Recorder);
  std::string Payload(40000, '\0');
  for (size_t At = 0; At < Payload.size(); ++At) Payload[At] = static_cast<char>(At * 7);
  Peer.Write(Frame(Payload));
  ASSERT_TRUE(Recorder.WaitFor("R:", 1));
  EXPECT_EQ(Recorder.Snapshot().at(1), "R:" + Payload);
}

// A header that is not TPKT, or whose length is below the header's own:
// the connection is dropped (what came before it delivered) and made again.
TEST_F(TransportTcpTest, MalformedHeaderDropsTheConnectionAndReconnects) {
  const struct {
    std::string Bytes;
    std::vector<std::string> Events;
  } Cases[] = {
      {Frame("ok") + std::string("\x04\x00\x00\x05z", 5), {"C", "R:ok", "D", "C"}},
      {std::string("\x03\x00\x00\x03", 4), {"C", "D", "C"}},
  };
  for (const auto& Case : Cases) {
    TRecorder Events;
    TPeer Peer;
    ConnectTo(Peer, Events);
    Peer.Write(Case.Bytes);
    ASSERT_TRUE(Events.WaitFor("D", 1));
    EXPECT_TRUE(Peer.SeesEndOfStream());
    ASSERT_TRUE(Peer.Accept());
    ASSERT_TRUE(Events.WaitFor("C", 2));
    EXPECT_EQ(Events.Snapshot(), Case.Events);
    for (const int32_t Id : Live) EXPECT_EQ(Api.Destroy(Id), teSUCCESS);
    Live.clear();
  }
}

// --------------------------------------------------------- losing the server

TEST_F(TransportTcpTest, ServerCloseReportsTheLossAndReconnectsWhenItListensAgain) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);
  const uint16_t Port = Peer.ListenPort;

  Peer.Connection.Close();
  Peer.Listener.Close();
  ASSERT_TRUE(Recorder.WaitFor("D", 1));
  EXPECT_EQ(Send(Id, "lost"), teDISCONNECT);
  // Refused attempts while the server is away are not reported.
  Platform::SleepMs(1500);
  EXPECT_EQ(Recorder.Snapshot(), (std::vector<std::string>{"C", "D"}));

  TPeer Again;
  Again.Listen(Port);
  ASSERT_TRUE(Again.Accept(WaitMs));
  ASSERT_TRUE(Recorder.WaitFor("C", 2));
  EXPECT_EQ(Send(Id, "back"), teSUCCESS);
  EXPECT_EQ(Again.Read(8), Frame("back"));
  EXPECT_EQ(Recorder.Snapshot(), (std::vector<std::string>{"C", "D", "C"}));
}

TEST_F(TransportTcpTest, RefusedConnectionRetriesWithoutNotices) {
  const uint16_t Port = FreePort();
  const int32_t Id = Create(ConnectionText(Port), Recorder);
  EXPECT_EQ(Send(Id, "early"), teDISCONNECT);  // never connected
  ASSERT_EQ(Api.Connect(Id), teSUCCESS);
  Platform::SleepMs(2500);
  EXPECT_TRUE(Recorder.Snapshot().empty());
  EXPECT_EQ(Send(Id, "early"), teDISCONNECT);  // connecting

  TPeer Peer;
  Peer.Listen(Port);
  ASSERT_TRUE(Peer.Accept(WaitMs));
  ASSERT_TRUE(Recorder.WaitFor("C", 1));
  EXPECT_EQ(Recorder.Snapshot(), std::vector<std::string>{"C"});
}

// ------------------------------------------------------- a server that stalls

// A peer that reads nothing until a send fails: the failed send must take the
// connection down (reported, then reconnected), so that the peer sees every
// frame reported as sent, whole and in order, then at most a piece of the
// failed one and the end of the stream, never a frame that follows a cut one.
TEST_F(TransportTcpTest, SendCutByItsTimeOutDropsTheConnectionAndNeverMisframes) {
  struct TCase {
    const char* Tail;
    bool Framed;
    TRecorder* Events;
  };
  const TCase Cases[] = {{",SENDTIMEOUT=200", true, &Recorder},
                         {",sendtimeout=200,NOTPKT=YES", false, &OtherRecorder}};
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Tail);
    TPeer Peer;
    const int32_t Id = ConnectTo(Peer, *Case.Events, Case.Tail);
    const auto Wire = [&](const std::string& Payload) { return Case.Framed ? Frame(Payload) : Payload; };

    std::string Delivered;  // what the sends reported as sent, as it must reach the peer
    std::string Failed;
    int32_t Result = teSUCCESS;
    for (int Index = 0; Index < 2000 && Result == teSUCCESS; ++Index) {
      const std::string Payload(60000, static_cast<char>('a' + Index % 26));
      const uint64_t Start = Platform::TickCountMs();
      Result = Send(Id, Payload);
      if (Result == teSUCCESS) Delivered += Wire(Payload);
      if (Result != teSUCCESS) {
        Failed = Wire(Payload);
        EXPECT_LT(Platform::TickCountMs() - Start, 2000u) << "the send outlived its time-out";
      }
    }
    ASSERT_EQ(Result, teLASTERROR);
    EXPECT_EQ(Send(Id, "next"), teDISCONNECT) << "a send went out behind the cut one";
    ASSERT_TRUE(Case.Events->WaitFor("D", 1));

    bool Ended = false;
    const std::string Bytes = Peer.Read(std::string::npos, WaitMs, &Ended);
    ASSERT_TRUE(Ended) << "the connection stayed up";
    ASSERT_GE(Bytes.size(), Delivered.size());
    EXPECT_TRUE(Bytes.compare(0, Delivered.size(), Delivered) == 0);
    const std::string Rest = Bytes.substr(Delivered.size());
    EXPECT_LT(Rest.size(), Failed.size());
    EXPECT_TRUE(Failed.compare(0, Rest.size(), Rest) == 0) << "not a piece of the failed frame";

    // Reconnected as after any loss; the new connection starts clean.
    ASSERT_TRUE(Peer.Accept());
    ASSERT_TRUE(Case.Events->WaitFor("C", 2));
    EXPECT_EQ(Send(Id, "after"), teSUCCESS);
    EXPECT_EQ(Peer.Read(Wire("after").size()), Wire("after"));
    EXPECT_EQ(Case.Events->Snapshot(), (std::vector<std::string>{"C", "D", "C"}));
  }
}

// ------------------------------------------------------------ shutting down

TEST_F(TransportTcpTest, DisconnectReportsOnceAndStopsRetrying) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);

  EXPECT_EQ(Api.Disconnect(Id), teSUCCESS);
  EXPECT_EQ(Send(Id, "after"), teDISCONNECT);
  ASSERT_TRUE(Recorder.WaitFor("D", 1));
  EXPECT_TRUE(Peer.SeesEndOfStream());
  EXPECT_FALSE(Peer.Accept(1500)) << "reconnected after DisconnectFromServer";
  EXPECT_EQ(Api.Disconnect(Id), teSUCCESS);  // a second call is harmless
  Platform::SleepMs(200);
  EXPECT_EQ(Recorder.Snapshot(), (std::vector<std::string>{"C", "D"}));

  // Connecting again after a disconnect works.
  EXPECT_EQ(Api.Connect(Id), teSUCCESS);
  ASSERT_TRUE(Peer.Accept());
  ASSERT_TRUE(Recorder.WaitFor("C", 2));
}

TEST_F(TransportTcpTest, DestroyWhileConnectedReportsTheLossBeforeReturning) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);
  const uint64_t Start = Platform::TickCountMs();
  EXPECT_EQ(Api.Destroy(Id), teSUCCESS);
  Forget(Id);
  EXPECT_LT(Platform::TickCountMs() - Start, 2000u);
  EXPECT_EQ(Recorder.Snapshot(), (std::vector<std::string>{"C", "D"}));
  // Nothing arrives once it has returned, and the TermID is gone.
  Peer.Write(Frame("late"));
  Platform::SleepMs(300);
  EXPECT_EQ(Recorder.Snapshot().size(), 2u);
  EXPECT_EQ(Send(Id, "x"), teINVALIDPARAMS);
  EXPECT_EQ(Api.Destroy(Id), teINVALIDPARAMS);
}

// No server: a termination that never connected, or is still retrying, ends
// at once, with no notice at all, disconnected or destroyed.
TEST_F(TransportTcpTest, TerminationWithoutAConnectionEndsQuietly) {
  const struct {
    bool Connect;
    bool Destroy;
  } Cases[] = {{true, false}, {true, true}, {false, true}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Connect * 2 + Case.Destroy);
    const int32_t Id = Create(ConnectionText(FreePort()), Recorder);
    if (Case.Connect) {
      ASSERT_EQ(Api.Connect(Id), teSUCCESS);
      Platform::SleepMs(250);
    }
    const uint64_t Start = Platform::TickCountMs();
    EXPECT_EQ(Case.Destroy ? Api.Destroy(Id) : Api.Disconnect(Id), teSUCCESS);
    if (Case.Destroy) Forget(Id);
    EXPECT_LT(Platform::TickCountMs() - Start, 2000u);
    Platform::SleepMs(Case.Destroy ? 0 : 300);
    EXPECT_TRUE(Recorder.Snapshot().empty());
  }
}

// ------------------------------------------------------------------- NOTPKT

TEST_F(TransportTcpTest, NoTpktSendsRawBytesAndDeliversEachRead) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder, ",NOTPKT=YES");
  EXPECT_EQ(Send(Id, "raw"), teSUCCESS);
  EXPECT_EQ(Api.Send(Id, nullptr, 0), teSUCCESS);  // nothing to send
  EXPECT_EQ(Send(Id, "!"), teSUCCESS);
  EXPECT_EQ(Peer.Read(4), "raw!");
  Peer.Write(std::string("\x03\x00\x00\x09hello", 9));  // not taken for a header
  ASSERT_TRUE(Recorder.WaitFor("R:", 1));
  EXPECT_EQ(Recorder.Snapshot().at(1), std::string("R:\x03\x00\x00\x09hello", 11));
}

// --------------------------------------------------------- the entries' rules

TEST_F(TransportTcpTest, RejectsInvalidConnectionTexts) {
  for (const TestSupport::TDataRow& Row : DataTable("transport_tcp/invalid_connections.txt")) {
    SCOPED_TRACE(Row.Where());
    int32_t Id = -1;
    EXPECT_EQ(Api.Create(Row.Text(0).c_str(), OnReceive, OnAuxReceive, OnDisconnect, OnConnect, &Id, &Recorder),
              teINVALIDPARAMS);
    EXPECT_EQ(Id, -1);
  }
  int32_t Id = -1;
  EXPECT_EQ(Api.Create(nullptr, OnReceive, OnAuxReceive, OnDisconnect, OnConnect, &Id, &Recorder),
            teINVALIDPARAMS);
  EXPECT_EQ(Api.Create("0.0.0.0:0,127.0.0.1:80", OnReceive, OnAuxReceive, OnDisconnect, OnConnect,
                       nullptr, &Recorder),
            teINVALIDPARAMS);
}

TEST_F(TransportTcpTest, UnknownTermIDsAndUnusedEntriesAreRefused) {
  EXPECT_EQ(Api.Connect(12345), teINVALIDPARAMS);
  EXPECT_EQ(Api.Disconnect(12345), teINVALIDPARAMS);
  EXPECT_EQ(Api.Send(12345, nullptr, 0), teINVALIDPARAMS);
  EXPECT_EQ(Api.Destroy(12345), teINVALIDPARAMS);
  char Name[64] = {};
  EXPECT_EQ(Api.SetSendLoadInfoEvent(1, nullptr), teNOTIMPLEMENTED);
  EXPECT_EQ(Api.GetConnectionInfo(1, Name, sizeof Name), teNOTIMPLEMENTED);
  EXPECT_EQ(Api.GetDNSFistServerName(Name, sizeof Name), teNOTIMPLEMENTED);
}

TEST_F(TransportTcpTest, TerminationsCoexistAndKeepTheirOwnTraffic) {
  TPeer First, Second;
  TRecorder& FirstRecorder = Recorder;
  TRecorder& SecondRecorder = OtherRecorder;
  const int32_t FirstId = ConnectTo(First, FirstRecorder);
  const int32_t SecondId = ConnectTo(Second, SecondRecorder, ",NOTPKT=YES");
  ASSERT_NE(FirstId, SecondId);

  EXPECT_EQ(Send(FirstId, "one"), teSUCCESS);
  EXPECT_EQ(Send(SecondId, "two"), teSUCCESS);
  EXPECT_EQ(First.Read(7), Frame("one"));
  EXPECT_EQ(Second.Read(3), "two");
  Second.Write("to-second");
  First.Write(Frame("to-first"));
  ASSERT_TRUE(FirstRecorder.WaitFor("R:", 1));
  ASSERT_TRUE(SecondRecorder.WaitFor("R:", 1));
  EXPECT_EQ(FirstRecorder.Snapshot(), (std::vector<std::string>{"C", "R:to-first"}));
  EXPECT_EQ(SecondRecorder.Snapshot(), (std::vector<std::string>{"C", "R:to-second"}));
  EXPECT_EQ(FirstRecorder.Reserved(), (std::vector<int32_t>{FirstId, FirstId}));
  EXPECT_EQ(SecondRecorder.Reserved(), (std::vector<int32_t>{SecondId, SecondId}));

  // Destroying one leaves the other working.
  EXPECT_EQ(Api.Destroy(FirstId), teSUCCESS);
  Forget(FirstId);
  EXPECT_EQ(Send(SecondId, "still"), teSUCCESS);
  EXPECT_EQ(Second.Read(5), "still");
}

TEST_F(TransportTcpTest, SendsFromAnotherThreadWhileTheServerTalks) {
  TPeer Peer;
  const int32_t Id = ConnectTo(Peer, Recorder);
  // The sending thread sends 200 messages while the peer sends 200 back.
  struct TSender {
    TSendToServer Send;
    int32_t Id;
    int Failures = 0;
    static void Body(void* Context) {
      auto* Self = static_cast<TSender*>(Context);
      for (int Index = 0; Index < 200; ++Index) {
        const std::string Bytes = 'm' + std::to_string(Index);
        if (Self->Send(Self->Id, Bytes.data(), static_cast<int32_t>(Bytes.size())) != teSUCCESS) {
          ++Self->Failures;
        }
      }
    }
  } Sender{Api.Send, Id};
  Platform::TThread Thread;
  ASSERT_TRUE(Thread.Create(&TSender::Body, &Sender));
  ASSERT_TRUE(Thread.Start());
  std::string Outgoing;
  for (int Index = 0; Index < 200; ++Index) Outgoing += Frame('s' + std::to_string(Index));
  Peer.Write(Outgoing);
  std::string Expected;
  for (int Index = 0; Index < 200; ++Index) Expected += Frame('m' + std::to_string(Index));
  EXPECT_EQ(Peer.Read(Expected.size()), Expected);
  ASSERT_TRUE(Thread.WaitForEnd());
  EXPECT_EQ(Sender.Failures, 0);
  ASSERT_TRUE(Recorder.WaitFor("R:", 200));
  EXPECT_EQ(Recorder.Snapshot().at(200), "R:s199");
}

}  // namespace
