// Tests of the file server, run in-process on a loopback port and spoken to
// over TPKT as the transport does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "standins/fileserver/FileServer.h"
#include "platform/Socket.h"
#include "standins/net/Tpkt.h"
#include "tests/support/DataTable.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t WaitMs = 5000;

struct TResponse {
  bool Received = false;
  uint8_t Operation = 0;
  uint8_t Error = 0;
  TParamList List;
  std::string Raw;  // the whole message
};

TParamList MakeList(const std::vector<std::string>& Items) {
  TParamList List;
  for (const std::string& Item : Items) List.Add(Item);
  return List;
}

std::vector<std::string> ItemsOf(const TParamList& List) {
  std::vector<std::string> Items;
  for (int Index = 0; Index < List.Count(); ++Index) Items.push_back(List.Item(Index));
  return Items;
}

// One client connection to the server.
class TClient {
public:
  bool Connect(uint16_t Port) {
    if (!Socket.Open()) return false;
    Platform::TConnectState State = Socket.BeginConnect(0x7F000001u, Port);
    for (int Slice = 0; State == Platform::TConnectState::Pending && Slice < 50; ++Slice) {
      State = Socket.WaitConnect(100);
    }
    return State == Platform::TConnectState::Connected;
  }
  void SendRaw(const std::string& Bytes) { ASSERT_TRUE(Socket.SendAll(Bytes.data(), Bytes.size())); }
  void SendMessage(const std::string& Payload) { SendRaw(Net::TpktFrame(Payload.data(), Payload.size())); }
  // The framed request; empty when the list does not fit 70,000 bytes.
  static std::string Request(uint8_t Operation, const TParamList& List) {
    std::string Message(1 + 70000, '\0');
    size_t Count = 0;
    if (!PackParams(List, Message.data() + 1, Message.size() - 1, Count)) return "";
    Message.resize(1 + Count);
    Message[0] = static_cast<char>(Operation);
    return Net::TpktFrame(Message.data(), Message.size());
  }
  void SendRequest(uint8_t Operation, const TParamList& List) {
    const std::string Frame = Request(Operation, List);
    ASSERT_FALSE(Frame.empty());
    SendRaw(Frame);
  }
  // The next response message, if one arrives in time.
  TResponse Receive(uint32_t TimeoutMs = WaitMs) {
    TResponse Response;
    const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
    for (;;) {
      if (Assembler.Next(Response.Raw) == Net::TTpktAssembler::TNext::Message) break;
      if (Platform::TickCountMs() >= Deadline) return Response;
      if (!Socket.WaitReadable(50)) continue;
      char Buffer[16384];
      const int Read = Socket.Receive(Buffer, sizeof Buffer);
      if (Read <= 0) return Response;
      Assembler.Append(Buffer, static_cast<size_t>(Read));
    }
    Response.Received = Response.Raw.size() >= 2;
    if (Response.Received) {
      Response.Operation = static_cast<uint8_t>(Response.Raw[0]);
      Response.Error = static_cast<uint8_t>(Response.Raw[1]);
      UnpackParams(Response.List, Response.Raw.data() + 2, static_cast<int32_t>(Response.Raw.size() - 2));
    }
    return Response;
  }
  // Echo requests of about 7 KB, unread answers piling up, until the server
  // has taken no request for 200 ms (it is blocked sending an answer) or has
  // dropped the connection.
  bool FloodUntilTheServerStalls() {
    const std::string Frame = Request(fsopEcho, MakeList({"Fill=" + std::string(7000, 'f')}));
    for (int Index = 0; Index < 20000; ++Index) {
      if (!Socket.SendWithin(Frame.data(), Frame.size(), 200)) return true;
    }
    return false;
  }
  // True when the server closed the connection, whatever arrived before.
  bool DrainedToEnd(uint32_t TimeoutMs = WaitMs) {
    const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
    while (Platform::TickCountMs() < Deadline) {
      if (!Socket.WaitReadable(50)) continue;
      char Buffer[65536];
      if (Socket.Receive(Buffer, sizeof Buffer) <= 0) return true;
    }
    return false;
  }
  // True when the server closed the connection.
  bool Closed(uint32_t TimeoutMs = WaitMs) {
    if (!Socket.WaitReadable(TimeoutMs)) return false;
    char Byte;
    return Socket.Receive(&Byte, 1) <= 0;
  }

  Platform::TSocket Socket;
  Net::TTpktAssembler Assembler;
};

class FileServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Platform::StartSockets());
    Root = fs::path(Platform::ToNativePath(Scratch.Path())) / "root";
    fs::create_directories(Root);
    Restart({});
  }
  // A server with these options in place of the running one, and Client
  // connected to it unless told otherwise.
  void Restart(TFileServerOptions Options, bool ConnectClient = true) {
    Server.reset();
    Client = TClient();
    Server = std::make_unique<TFileServer>(
        Root,
        [this](const std::string& Line) {
          std::lock_guard<std::mutex> Guard(LinesLock);
          Lines.push_back(Line);
        },
        std::move(Options));
    std::string Error;
    ASSERT_TRUE(Server->Start("127.0.0.1", 0, Error)) << Error;
    ASSERT_NE(Server->Port(), 0);
    if (ConnectClient) {
      ASSERT_TRUE(Client.Connect(Server->Port()));
    }
  }
  void TearDown() override {
    Server.reset();
    Platform::StopSockets();
  }

  TResponse Ask(uint8_t Operation, const std::vector<std::string>& Items) {
    Client.SendRequest(Operation, MakeList(Items));
    return Client.Receive();
  }
  // The exchanges of Test in fileserver/exchanges.txt: each request and what
  // must come back (its operation and error and, when given, all the answer's
  // items in order, or some of its values).
  void ExpectAnswers(const std::string& Test) {
    int Exchanges = 0;
    for (const TestSupport::TDataRow& Row : DataTable("fileserver/exchanges.txt")) {
      if (Row.Text(0) != Test) continue;
      SCOPED_TRACE(Row.Where());
      ++Exchanges;
      const TResponse Response = Ask(static_cast<uint8_t>(Row.Int(1)), Row.Strings(2));
      ASSERT_TRUE(Response.Received);
      EXPECT_EQ(Response.Operation, Row.Int(1));
      EXPECT_EQ(Response.Error, Row.Int(3));
      EXPECT_TRUE(Row.Strings(4).empty() || ItemsOf(Response.List) == Row.Strings(4));
      for (const std::string& Value : Row.Strings(5)) {
        EXPECT_EQ(Response.List.GetParam(Value.substr(0, Value.find('='))), Value.substr(Value.find('=') + 1));
      }
    }
    EXPECT_GT(Exchanges, 0) << Test;
  }
  // Each of the five file operations on each path of Test in
  // fileserver/outside_root.txt is refused as outside the root.
  void ExpectOutsideRoot(const std::string& Test) {
    int Paths = 0;
    for (const TestSupport::TDataRow& Row : DataTable("fileserver/outside_root.txt")) {
      if (Row.Text(0) != Test) continue;
      ++Paths;
      for (const uint8_t Operation : {fsopList, fsopInfo, fsopRead, fsopWrite, fsopDelete}) {
        const TResponse Response = Ask(Operation, {"Path=" + Row.Text(1), "Data=overwritten"});
        EXPECT_EQ(Response.Error, fserrOutsideRoot) << Row.Where() << " op " << int(Operation);
      }
    }
    EXPECT_GT(Paths, 0) << Test;
  }
  // The request lines of the log, each without its peer address.
  std::vector<std::string> RequestLines() {
    std::vector<std::string> Requests;
    for (const std::string& Line : LogLines()) {
      if (Line.find(" op=") != std::string::npos) Requests.push_back(Line.substr(Line.find(' ') + 1));
    }
    return Requests;
  }
  void WriteFile(const fs::path& Path, const std::string& Bytes) {
    fs::create_directories(Path.parent_path());
    std::ofstream(Path, std::ios::binary) << Bytes;
  }
  std::string ReadFile(const fs::path& Path) {
    std::ifstream Stream(Path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(Stream)), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> Guard(LinesLock);
    return Lines;
  }
  size_t CountLines(const std::string& Part) {
    size_t Count = 0;
    for (const std::string& Line : LogLines()) Count += Line.find(Part) != std::string::npos ? 1 : 0;
    return Count;
  }
  // Waits until Count log lines hold Part.
  bool WaitForLines(const std::string& Part, size_t Count = 1, uint32_t TimeoutMs = WaitMs) {
    const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
    while (CountLines(Part) < Count) {
      if (Platform::TickCountMs() >= Deadline) return false;
      Platform::SleepMs(10);
    }
    return true;
  }

  TestSupport::TScratchDir Scratch;
  fs::path Root;
  std::mutex LinesLock;
  std::vector<std::string> Lines;  // LinesLock
  std::unique_ptr<TFileServer> Server;
  TClient Client;
};

// ------------------------------------------------------------ the operations

TEST_F(FileServerTest, ListsAFolderSortedWithFoldersMarked) {
  WriteFile(Root / "b.txt", "b");
  WriteFile(Root / "a.txt", "a");
  fs::create_directories(Root / "sub" / "deeper");
  ExpectAnswers("list");
}

TEST_F(FileServerTest, InfoTellsKindAndSize) {
  WriteFile(Root / "docs" / "note.txt", "12345");
  ExpectAnswers("info");
}

TEST_F(FileServerTest, WriteReadAndDeleteRoundTrip) {
  fs::create_directories(Root / "notes");
  const std::string Text = "\xCF\xF0\xE8\xE2\xE5\xF2, \"world\"\r\nline 2";  // code page 1251 bytes
  ExpectAnswers("write 1");
  EXPECT_EQ(ReadFile(Root / "notes" / "n.txt"), Text);
  ExpectAnswers("write 2");
  EXPECT_EQ(ReadFile(Root / "notes" / "n.txt"), "");
  ExpectAnswers("write 3");
  EXPECT_FALSE(fs::exists(Root / "notes" / "n.txt"));
  ExpectAnswers("write 4");
}

TEST_F(FileServerTest, RefusesWhatTheOperationsCannotServe) {
  fs::create_directories(Root / "folder");
  WriteFile(Root / "big.txt", std::string(MaxTextSize + 1, 'b'));
  WriteFile(Root / "limit.txt", std::string(MaxTextSize, 'l'));
  WriteFile(Root / "binary.bin", std::string("a\0b", 3));
  ExpectAnswers("refuse");
  EXPECT_FALSE(fs::exists(Root / "y.txt"));
  EXPECT_TRUE(fs::exists(Root / "folder"));
}

TEST_F(FileServerTest, ResponseThatWouldNotFitIsRefused) {
  for (int Index = 0; Index < 300; ++Index) {
    WriteFile(Root / ("a-rather-long-file-name-number-" + std::to_string(Index) + ".txt"), "");
  }
  const TResponse Response = Ask(fsopList, {"UserData=keep"});
  EXPECT_EQ(Response.Error, fserrTooLarge);
  EXPECT_EQ(Response.List.GetParam("UserData"), "keep");
  EXPECT_LE(Response.Raw.size(), 2 + MaxResponseList);
}

TEST_F(FileServerTest, EchoReturnsTheItemsUnchanged) {
  ExpectAnswers("echo");
}

// ------------------------------------------------------------------ the root

TEST_F(FileServerTest, RefusesPathsThatLeaveTheRoot) {
  const fs::path Outside = Root.parent_path() / "outside";
  fs::create_directories(Outside);
  WriteFile(Outside / "secret.txt", "secret");
  fs::create_directory_symlink(Outside, Root / "link");
  fs::create_directories(Root / "sub");

  ExpectOutsideRoot("root");
  EXPECT_EQ(ReadFile(Outside / "secret.txt"), "secret");
  EXPECT_EQ(fs::directory_iterator(Root.parent_path() / "outside") == fs::directory_iterator(), false);
  EXPECT_FALSE(fs::exists(Root.parent_path() / "x"));
  // Harmless forms stay inside.
  WriteFile(Root / "sub" / "in.txt", "in");
  ExpectAnswers("inside");
}

TEST_F(FileServerTest, EveryPathThroughASymbolicLinkIsRefused) {
  const fs::path Outside = Root.parent_path() / "outside";
  fs::create_directories(Outside);
  WriteFile(Outside / "secret.txt", "secret");
  WriteFile(Root / "sub" / "in.txt", "in");
  // A link whose target is missing is left unresolved by a path check, and a
  // write through it would create its target: outside, or anywhere.
  fs::create_symlink(Outside / "made.txt", Root / "dangling");
  fs::create_symlink(Root / "sub" / "missing.txt", Root / "dangling-in");
  fs::create_symlink(Outside / "secret.txt", Root / "file-out");
  fs::create_symlink(Root / "sub" / "in.txt", Root / "file-in");
  fs::create_directory_symlink(Root / "sub", Root / "folder-in");
  fs::create_directory_symlink(Outside, Root / "sub" / "folder-out");

  ExpectOutsideRoot("links");
  EXPECT_FALSE(fs::exists(Outside / "made.txt"));
  EXPECT_FALSE(fs::exists(Root / "sub" / "missing.txt"));
  EXPECT_FALSE(fs::exists(Root / "sub" / "new.txt"));
  EXPECT_EQ(ReadFile(Outside / "secret.txt"), "secret");
  EXPECT_EQ(ReadFile(Root / "sub" / "in.txt"), "in");
  for (const char* Link : {"dangling", "dangling-in", "file-out", "file-in", "folder-in"}) {
    EXPECT_TRUE(fs::is_symlink(Root / Link)) << Link;
  }
  // The plain path to the same file still serves.
  ExpectAnswers("links");
}

// ------------------------------------------------------------ the message form

TEST_F(FileServerTest, UnknownOperationsAnswerErrorOneWithUserData) {
  for (const uint8_t Operation : {uint8_t{0}, uint8_t{7}, uint8_t{200}, uint8_t{255}}) {
    const TResponse Response = Ask(Operation, {"Path=a", "UserData=Sess=3"});
    ASSERT_TRUE(Response.Received);
    EXPECT_EQ(Response.Operation, Operation);
    EXPECT_EQ(Response.Error, fserrUnknownOperation);
    EXPECT_EQ(Response.List.Item(0), "UserData=Sess=3");
  }
}

TEST_F(FileServerTest, UserDataComesBackByteForByteFromEveryOperation) {
  WriteFile(Root / "f.txt", "f");
  const std::string UserData = "UserData=Sess=7,\"SrcUserData=a b, \"\"q\"\" \xC0\xDF\"";
  for (const uint8_t Operation : {fsopList, fsopInfo, fsopRead, fsopWrite, fsopDelete, fsopEcho, uint8_t{99}}) {
    const TResponse Response = Ask(Operation, {"Path=f.txt", UserData, "Data=g"});
    ASSERT_TRUE(Response.Received) << int(Operation);
    EXPECT_EQ(Response.List.FindParam("UserData") >= 0 ? Response.List.Item(Response.List.FindParam("UserData")) : "",
              UserData)
        << int(Operation);
  }
  // Without UserData none is made up.
  EXPECT_EQ(Ask(fsopInfo, {"Path=."}).List.FindParam("UserData"), -1);
}

TEST_F(FileServerTest, KeepAliveIsNotAnswered) {
  Client.SendMessage("");
  Client.SendMessage("");
  const TResponse Response = Ask(fsopEcho, {"X=1"});
  EXPECT_EQ(ItemsOf(Response.List), std::vector<std::string>{"X=1"});
  EXPECT_FALSE(Client.Receive(300).Received);
  for (const std::string& Line : LogLines()) EXPECT_EQ(Line.find("op=0"), std::string::npos) << Line;
}

TEST_F(FileServerTest, MalformedRequestsAreAnsweredOrDropped) {
  const struct {
    std::string Message;
    uint8_t Error;
    int Items;  // in the answer; -1: not looked at
  } Cases[] = {
      {"\x03", fserrBadParameter, -1},  // an operation byte alone: no parameters
      {"\x03Path=nothing.txt", fserrNotFound, -1},  // a list without its final NUL
      // A UserData too big to send back: the answer is too large, without it.
      {Client.Request(fsopEcho, MakeList({"UserData=" + std::string(9000, 'u')})).substr(4), fserrTooLarge, 0},
      {std::string("\x05\0\0\0", 4), fserrBadParameter, -1},  // NUL bytes only
  };
  for (const auto& Case : Cases) {
    Client.SendMessage(Case.Message);
    const TResponse Response = Client.Receive();
    EXPECT_EQ(Response.Error, Case.Error) << Case.Message.substr(0, 20);
    if (Case.Items >= 0) {
      EXPECT_EQ(Response.List.Count(), Case.Items);
    }
  }
  Client.SendMessage(std::string(1, static_cast<char>(fsopEcho)));
  EXPECT_EQ(Client.Receive().Raw, std::string("\x06\x00", 2));
  // A stream that is not TPKT is dropped; the server goes on serving.
  Client.SendRaw("GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Client.Closed());
  TClient Next;
  ASSERT_TRUE(Next.Connect(Server->Port()));
  // A frame that promises more than ever comes, then the client goes away.
  Next.SendRaw(std::string("\x03\x00\xFF\xFF\x06", 5));
  Next.Socket.Close();
  TClient Last;
  ASSERT_TRUE(Last.Connect(Server->Port()));
  Last.SendRequest(fsopEcho, MakeList({"alive"}));
  EXPECT_EQ(ItemsOf(Last.Receive().List), std::vector<std::string>{"alive"});
}

TEST_F(FileServerTest, ServesSeveralClientsAtOnce) {
  std::vector<std::unique_ptr<TClient>> Clients;
  for (int Index = 0; Index < 4; ++Index) {
    Clients.push_back(std::make_unique<TClient>());
    ASSERT_TRUE(Clients.back()->Connect(Server->Port()));
  }
  for (int Round = 0; Round < 5; ++Round) {
    for (size_t Index = 0; Index < Clients.size(); ++Index) {
      Clients[Index]->SendRequest(fsopEcho, MakeList({"C=" + std::to_string(Index), "R=" + std::to_string(Round)}));
    }
  }
  for (int Round = 0; Round < 5; ++Round) {
    for (size_t Index = 0; Index < Clients.size(); ++Index) {
      const TResponse Response = Clients[Index]->Receive();
      EXPECT_EQ(ItemsOf(Response.List),
                (std::vector<std::string>{"C=" + std::to_string(Index), "R=" + std::to_string(Round)}));
    }
  }
}

TEST_F(FileServerTest, PrintsOneLinePerRequest) {
  ASSERT_TRUE(Ask(fsopRead, {"Path=missing.txt"}).Received);
  ASSERT_TRUE(Ask(fsopEcho, {}).Received);
  EXPECT_EQ(RequestLines(), (std::vector<std::string>{"op=3 error=4 path=missing.txt", "op=6 error=0 path="}));
  EXPECT_EQ(LogLines().front().rfind("127.0.0.1:", 0), 0u);
}

// ------------------------------------------------------ hostile and stalled clients

// A FIFO is no file to read or write: opening one would wait for a peer
// process, holding the client's thread and the server's stop.
TEST_F(FileServerTest, FifoIsRefusedForReadAndWrite) {
  const fs::path Fifo = Root / "pipe";
  if (std::system(("mkfifo '" + Fifo.string() + "'").c_str()) != 0) GTEST_SKIP() << "mkfifo failed";
  for (const uint8_t Operation : {fsopRead, fsopWrite}) {
    Client.SendRequest(Operation, MakeList({"Path=pipe", "Data=x"}));
    const TResponse Response = Client.Receive(2000);
    if (!Response.Received) {
      // Opening the other end lets the server's thread go on.
      if (Operation == fsopWrite) {
        std::ifstream Release(Fifo);
        std::string Taken;
        std::getline(Release, Taken);
      } else {
        std::ofstream Release(Fifo);
      }
      ADD_FAILURE() << "no answer: the server opened the FIFO, op " << int(Operation);
      return;
    }
    EXPECT_EQ(Response.Error, fserrBadParameter) << int(Operation);
  }
  EXPECT_EQ(Ask(fsopInfo, {"Path=pipe"}).List.GetParam("Kind"), "other");
  const uint64_t Start = Platform::TickCountMs();
  Server->Stop();
  EXPECT_LT(Platform::TickCountMs() - Start, 1000u);
}

// A client that sends requests and reads no answer: with a short send
// time-out the server drops it; with a long one, the server's stop still ends
// the blocked send at once. Other clients are served meanwhile.
TEST_F(FileServerTest, ClientThatReadsNothingIsDroppedOrCutOffByStop) {
  struct TCase {
    uint32_t SendTimeoutMs;
    bool Stop;
  };
  for (const TCase Case : {TCase{300, false}, TCase{60000, true}}) {
    SCOPED_TRACE(Case.SendTimeoutMs);
    TFileServerOptions Options;
    Options.SendTimeoutMs = Case.SendTimeoutMs;
    Restart(Options);
    auto Stalled = std::make_unique<TClient>();
    ASSERT_TRUE(Stalled->Connect(Server->Port()));
    ASSERT_TRUE(Stalled->FloodUntilTheServerStalls());
    EXPECT_EQ(ItemsOf(Ask(fsopEcho, {"other"}).List), std::vector<std::string>{"other"});
    if (!Case.Stop) {
      EXPECT_TRUE(WaitForLines(" dropped: ", 1, 3000));
      EXPECT_TRUE(Stalled->DrainedToEnd());
      continue;
    }
    // Stop runs on a thread of its own so that a stop that hangs fails the
    // case instead of the run: closing the stalled client frees it then.
    std::atomic<bool> Stopped{false};
    const uint64_t Start = Platform::TickCountMs();
    std::thread Stopper([&] {
      Server->Stop();
      Stopped.store(true);
    });
    while (!Stopped.load() && Platform::TickCountMs() - Start < 3000) Platform::SleepMs(10);
    const uint64_t Elapsed = Platform::TickCountMs() - Start;
    if (!Stopped.load()) Stalled.reset();
    Stopper.join();
    EXPECT_LT(Elapsed, 1000u) << "the stop waited for a client that reads nothing";
  }
}

// The system refuses a thread (std::system_error, as when a user's thread
// limit is reached): that one connection is closed and logged, and the
// server goes on accepting.
TEST_F(FileServerTest, ConnectionWhoseThreadCannotStartIsRefusedAndServingGoesOn) {
  std::atomic<int> Starts{0};
  TFileServerOptions Options;
  Options.StartThread = [&Starts](std::function<void()> Body) {
    if (Starts.fetch_add(1) == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(Body));
  };
  Restart(Options);
  EXPECT_TRUE(Client.Closed());
  EXPECT_TRUE(WaitForLines(" refused: cannot start a thread"));
  TClient Next;
  ASSERT_TRUE(Next.Connect(Server->Port()));
  Next.SendRequest(fsopEcho, MakeList({"served"}));
  EXPECT_EQ(ItemsOf(Next.Receive().List), std::vector<std::string>{"served"});
}

// Out of descriptors, accept fails at once for as long as the shortage lasts:
// the server waits longer and longer between attempts (50, 100, 200 ms ...)
// instead of spinning, and logs the episode once, with its end.
TEST_F(FileServerTest, AcceptOutOfDescriptorsBacksOffAndLogsOnce) {
  struct TAcceptFault {
    std::atomic<bool> Failing{true};
    std::atomic<int> Calls{0};
    std::atomic<uint64_t> FirstCall{0};
    std::atomic<uint64_t> FourthCall{0};
  } Fault;
  TFileServerOptions Options;
  Options.Accept = [&Fault](Platform::TSocket& Listener, uint32_t TimeoutMs, std::string& Peer, uint32_t& Error) {
    if (!Fault.Failing.load()) {
      Platform::TSocket Connection = Listener.Accept(TimeoutMs, &Peer);
      Error = Connection.Valid() ? 0 : Platform::LastSocketError();
      return Connection;
    }
    const int Call = Fault.Calls.fetch_add(1) + 1;
    if (Call == 1) Fault.FirstCall.store(Platform::TickCountMs());
    if (Call == 4) Fault.FourthCall.store(Platform::TickCountMs());
    Error = Platform::SocketErrorTooManyFiles;
    return Platform::TSocket();
  };
  Restart(Options, false);
  const uint64_t Start = Platform::TickCountMs();
  while (Fault.Calls.load() < 4 && Platform::TickCountMs() - Start < WaitMs) Platform::SleepMs(10);
  ASSERT_GE(Fault.Calls.load(), 4);
  EXPECT_GE(Fault.FourthCall.load() - Fault.FirstCall.load(), 300u) << "accept retried without a pause";
  Fault.Failing.store(false);

  ASSERT_TRUE(Client.Connect(Server->Port()));
  EXPECT_EQ(ItemsOf(Ask(fsopEcho, {"back"}).List), std::vector<std::string>{"back"});
  EXPECT_EQ(CountLines("accept failing"), 1u);
  EXPECT_EQ(CountLines("accepting again"), 1u);
}

// A value that holds control characters (a line break above all) is logged
// escaped: one request, one line, and no line made up by a client.
TEST_F(FileServerTest, LoggedValuesCannotForgeALine) {
  const std::string Paths[] = {"a\r\n127.0.0.1:1 op=5 error=0 path=x", "b\n", "\x1B[2Jc", "d\x7F\te", "e\x01"};
  for (const std::string& Path : Paths) ASSERT_TRUE(Ask(fsopInfo, {"Path=" + Path}).Received);
  for (const std::string& Line : LogLines()) {
    for (const char Byte : Line) {
      EXPECT_FALSE(static_cast<unsigned char>(Byte) < 0x20 || Byte == 0x7F) << Line;
    }
  }
  EXPECT_EQ(RequestLines(), (std::vector<std::string>{"op=2 error=3 path=a\\x0D\\x0A127.0.0.1:1 op=5 error=0 path=x",
                                                "op=2 error=4 path=b\\x0A", "op=2 error=4 path=\\x1B[2Jc",
                                                "op=2 error=4 path=d\\x7F\\x09e", "op=2 error=4 path=e\\x01"}));
}

TEST_F(FileServerTest, StopEndsConnectedClients) {
  ASSERT_TRUE(Ask(fsopEcho, {"x"}).Received);
  const uint64_t Start = Platform::TickCountMs();
  Server->Stop();
  EXPECT_LT(Platform::TickCountMs() - Start, 2000u);
  EXPECT_TRUE(Client.Closed(1000));
}

}  // namespace
