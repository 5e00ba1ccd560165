// velmora-plain-client: the floor for the end-to-end figure. Sends the same
// request messages the plug-in sends (echo operation, the command's items and
// its UserData) over one TPKT connection to the file server, keeping at most
// a given number unanswered, and prints the round trips per second.
//
//   velmora-plain-client PORT COUNT IN-FLIGHT
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Socket.h"
#include "standins/net/Tpkt.h"

namespace {

// The reader thread owns the socket's receiving side; Answered counts replies.
struct TReader {
  Platform::TSocket* Socket = nullptr;
  int Count = 0;
  std::atomic<int> Answered{0};
  Platform::TSemaphore Slots{0, 1 << 30};
};

void Read(void* Context) {
  TReader& R = *static_cast<TReader*>(Context);
  Net::TTpktAssembler Assembler;
  std::string Payload;
  char Buffer[65536];
  while (R.Answered.load() < R.Count) {
    const int Got = R.Socket->Receive(Buffer, sizeof Buffer);
    if (Got <= 0) return;
    Assembler.Append(Buffer, static_cast<size_t>(Got));
    while (Assembler.Next(Payload) == Net::TTpktAssembler::TNext::Message) {
      R.Answered.fetch_add(1);
      R.Slots.Release(1);
    }
  }
}

}  // namespace

int main(int Count, char** Arguments) {
  if (Count != 4) {
    std::fprintf(stderr, "usage: velmora-plain-client PORT COUNT IN-FLIGHT\n");
    return 2;
  }
  const uint16_t Port = static_cast<uint16_t>(std::atoi(Arguments[1]));
  const int Total = std::atoi(Arguments[2]);
  const int InFlight = std::atoi(Arguments[3]);
  Platform::StartSockets();
  Platform::TSocket Socket;
  uint32_t Address = 0;
  Platform::ResolveIPv4("127.0.0.1", Address);
  if (!Socket.Open() || Socket.BeginConnect(Address, Port) == Platform::TConnectState::Failed ||
      (Socket.WaitConnect(5000) != Platform::TConnectState::Connected)) {
    std::fprintf(stderr, "velmora-plain-client: cannot connect to port %u\n", Port);
    return 1;
  }
  Socket.SetNoDelay();
  // What the plug-in sends for "Operation=6,Path=<filler>" on session 1.
  std::string Request("\x06", 1);
  Request += "Path=" + std::string(110, 'x');
  Request += '\0';
  Request += "UserData=Sess=1";
  Request += '\0';
  const std::string Frame = Net::TpktFrame(Request.data(), Request.size());

  TReader Reader;
  Reader.Socket = &Socket;
  Reader.Count = Total;
  Platform::TThread Thread;
  Thread.Create(&Read, &Reader);
  Thread.Start();
  const auto Start = std::chrono::steady_clock::now();
  for (int I = 0; I < Total; ++I) {
    if (I >= InFlight) Reader.Slots.Wait(0xFFFFFFFFu);
    if (!Socket.SendAll(Frame.data(), Frame.size())) break;
  }
  Thread.WaitForEnd();
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  std::printf("answered %d per-second %.1f\n", Reader.Answered.load(), Reader.Answered.load() / Seconds);
  Socket.Shutdown();
  Platform::StopSockets();
  return Reader.Answered.load() == Total ? 0 : 1;
}
