// The socket layer on Winsock 2. Error codes are Winsock's own.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace Platform {

namespace {

SOCKET Raw(intptr_t Handle) { return static_cast<SOCKET>(Handle); }

void Fail(uint32_t Code) { WSASetLastError(static_cast<int>(Code)); }

sockaddr_in MakeAddress(uint32_t Address, uint16_t Port) {
  sockaddr_in Result{};
  Result.sin_family = AF_INET;
  Result.sin_addr.s_addr = htonl(Address);
  Result.sin_port = htons(Port);
  return Result;
}

std::string AddressText(const sockaddr_in& Address) {
  return IPv4Text(ntohl(Address.sin_addr.s_addr)) + ":" + std::to_string(ntohs(Address.sin_port));
}

bool SetBlocking(SOCKET Socket, bool Blocking) {
  u_long NonBlocking = Blocking ? 0 : 1;
  return ioctlsocket(Socket, FIONBIO, &NonBlocking) == 0;
}

timeval MakeTimeout(uint32_t TimeoutMs) {
  timeval Value{};
  Value.tv_sec = static_cast<long>(TimeoutMs / 1000);
  Value.tv_usec = static_cast<long>((TimeoutMs % 1000) * 1000);
  return Value;
}

// Waits until Socket can take bytes (Write) or has bytes, the end of the
// stream or a failure to read; >0 ready, 0 time-out, SOCKET_ERROR when the
// wait failed. A null Timeout waits without limit.
int WaitReady(SOCKET Socket, bool Write, timeval* Timeout) {
  fd_set Ready, Failed;
  FD_ZERO(&Ready);
  FD_ZERO(&Failed);
  FD_SET(Socket, &Ready);
  FD_SET(Socket, &Failed);
  return Write ? select(0, nullptr, &Ready, &Failed, Timeout) : select(0, &Ready, nullptr, &Failed, Timeout);
}

int Chunk(size_t Size) { return Size > 0x10000 ? 0x10000 : static_cast<int>(Size); }

}  // namespace

bool StartSockets() {
  // Winsock stays loaded for the rest of the process once started: a thread
  // whose library held the last use would otherwise unload it and leave its
  // per-thread data behind (Wine's ws2_32 keeps a handle per thread).
  HMODULE Winsock = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "ws2_32.dll", &Winsock);
  WSADATA Data;
  return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
}

void StopSockets() { WSACleanup(); }

uint32_t LastSocketError() { return static_cast<uint32_t>(WSAGetLastError()); }

bool ResolveHost(const std::string& Host, uint32_t& Address) {
  if (ResolveIPv4(Host, Address)) return true;
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  addrinfo* Found = nullptr;
  if (getaddrinfo(Host.c_str(), nullptr, &Hints, &Found) != 0 || Found == nullptr) return false;
  Address = ntohl(reinterpret_cast<const sockaddr_in*>(Found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(Found);
  return true;
}

std::string LocalHostName() {
  // The computer's own record, not Winsock's: it needs no started sockets.
  char Name[256] = {};
  DWORD Size = sizeof Name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, Name, &Size)) return std::string();
  return std::string(Name, Size);
}

TSocket::~TSocket() { Close(); }

TSocket::TSocket(TSocket&& Other) noexcept : Handle(Other.Handle), NonBlocking(Other.NonBlocking) {
  Other.Handle = InvalidHandle;
  Other.NonBlocking = false;
}

TSocket& TSocket::operator=(TSocket&& Other) noexcept {
  if (this != &Other) {
    Close();
    Handle = Other.Handle;
    NonBlocking = Other.NonBlocking;
    Other.Handle = InvalidHandle;
    Other.NonBlocking = false;
  }
  return *this;
}

bool TSocket::Open() {
  Close();
  const SOCKET Socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (Socket == INVALID_SOCKET) return false;
  Handle = static_cast<intptr_t>(Socket);
  return true;
}

bool TSocket::OpenDatagram(uint32_t Address, uint16_t Port) {
  Close();
  const SOCKET Socket = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (Socket == INVALID_SOCKET) return false;
  Handle = static_cast<intptr_t>(Socket);
  const sockaddr_in Remote = MakeAddress(Address, Port);
  if (!SetBlocking(Socket, false) ||
      connect(Socket, reinterpret_cast<const sockaddr*>(&Remote), sizeof Remote) != 0) {
    const int Error = WSAGetLastError();
    Close();
    Fail(static_cast<uint32_t>(Error));
    return false;
  }
  NonBlocking = true;
  return true;
}

bool TSocket::SendDatagram(const void* Data, size_t Size) {
  if (Size > 0x10000) return false;
  return send(Raw(Handle), static_cast<const char*>(Data), static_cast<int>(Size), 0) ==
         static_cast<int>(Size);
}

bool TSocket::SetReuseAddress() {
  const BOOL On = TRUE;
  return setsockopt(Raw(Handle), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&On), sizeof On) == 0;
}

bool TSocket::SetNoDelay() {
  const BOOL On = TRUE;
  return setsockopt(Raw(Handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On), sizeof On) == 0;
}

bool TSocket::SetSendBuffer(uint32_t Bytes) {
  const int Value = static_cast<int>(Bytes);
  return setsockopt(Raw(Handle), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&Value), sizeof Value) == 0;
}

bool TSocket::SetSendTimeout(uint32_t Milliseconds) {
  const DWORD Value = Milliseconds;
  return setsockopt(Raw(Handle), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&Value), sizeof Value) == 0;
}

bool TSocket::Bind(uint32_t Address, uint16_t Port) {
  const sockaddr_in Local = MakeAddress(Address, Port);
  return bind(Raw(Handle), reinterpret_cast<const sockaddr*>(&Local), sizeof Local) == 0;
}

bool TSocket::Listen(int Backlog) { return listen(Raw(Handle), Backlog) == 0; }

TSocket TSocket::Accept(uint32_t TimeoutMs, std::string* Peer) {
  TSocket Result;
  if (!WaitReadable(TimeoutMs)) {
    Fail(SocketErrorTimedOut);
    return Result;
  }
  sockaddr_in From{};
  int Length = sizeof From;
  const SOCKET Socket = accept(Raw(Handle), reinterpret_cast<sockaddr*>(&From), &Length);
  if (Socket == INVALID_SOCKET) return Result;
  Result.Handle = static_cast<intptr_t>(Socket);
  if (Peer != nullptr) *Peer = AddressText(From);
  return Result;
}

TConnectState TSocket::BeginConnect(uint32_t Address, uint16_t Port) {
  if (!SetBlocking(Raw(Handle), false)) return TConnectState::Failed;
  const sockaddr_in Remote = MakeAddress(Address, Port);
  if (connect(Raw(Handle), reinterpret_cast<const sockaddr*>(&Remote), sizeof Remote) == 0) {
    SetBlocking(Raw(Handle), true);
    return TConnectState::Connected;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? TConnectState::Pending : TConnectState::Failed;
}

TConnectState TSocket::WaitConnect(uint32_t TimeoutMs) {
  // A finished connection shows as writable; a refused one in the except set.
  fd_set Writable, Failed;
  FD_ZERO(&Writable);
  FD_ZERO(&Failed);
  FD_SET(Raw(Handle), &Writable);
  FD_SET(Raw(Handle), &Failed);
  timeval Timeout = MakeTimeout(TimeoutMs);
  const int Ready = select(0, nullptr, &Writable, &Failed, &Timeout);
  if (Ready == 0) return TConnectState::Pending;
  if (Ready == SOCKET_ERROR) return TConnectState::Failed;
  int Error = 0;
  int Length = sizeof Error;
  if (getsockopt(Raw(Handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&Error), &Length) != 0) {
    return TConnectState::Failed;
  }
  if (Error != 0 || FD_ISSET(Raw(Handle), &Failed)) {
    Fail(Error != 0 ? static_cast<uint32_t>(Error) : SocketErrorConnectionRefused);
    return TConnectState::Failed;
  }
  if (!SetBlocking(Raw(Handle), true)) return TConnectState::Failed;
  return TConnectState::Connected;
}

bool TSocket::SendAll(const void* Data, size_t Size) {
  const char* At = static_cast<const char*>(Data);
  while (Size > 0) {
    const int Sent = send(Raw(Handle), At, Chunk(Size), 0);
    if (Sent == SOCKET_ERROR) {
      // A socket that SendWithin made non-blocking: wait as a blocking send would.
      if (WSAGetLastError() == WSAEWOULDBLOCK && WaitReady(Raw(Handle), true, nullptr) > 0) continue;
      return false;
    }
    At += Sent;
    Size -= static_cast<size_t>(Sent);
  }
  return true;
}

bool TSocket::SendWithin(const void* Data, size_t Size, uint32_t TimeoutMs, size_t* SentBytes) {
  // A blocking Winsock send waits until every byte is taken, and one that its
  // SO_SNDTIMEO ends leaves the socket unusable: so the socket goes
  // non-blocking and the wait for room is a select bounded by what is left.
  if (!NonBlocking) {
    if (!SetBlocking(Raw(Handle), false)) return false;
    NonBlocking = true;
  }
  const char* const Start = static_cast<const char*>(Data);
  const char* At = Start;
  struct TReport {
    size_t* Into;
    const char* const& Start;
    const char* const& At;
    ~TReport() {
      if (Into != nullptr) *Into = static_cast<size_t>(At - Start);
    }
  } Report{SentBytes, Start, At};
  const ULONGLONG Deadline = GetTickCount64() + TimeoutMs;
  while (Size > 0) {
    const int Sent = send(Raw(Handle), At, Chunk(Size), 0);
    if (Sent != SOCKET_ERROR) {
      At += Sent;
      Size -= static_cast<size_t>(Sent);
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    const ULONGLONG Now = GetTickCount64();
    if (Now >= Deadline) {
      Fail(SocketErrorTimedOut);
      return false;
    }
    timeval Timeout = MakeTimeout(static_cast<uint32_t>(Deadline - Now));
    if (WaitReady(Raw(Handle), true, &Timeout) == SOCKET_ERROR) return false;
  }
  return true;
}

int TSocket::Receive(void* Buffer, size_t Size) {
  for (;;) {
    const int Read = recv(Raw(Handle), static_cast<char*>(Buffer), Chunk(Size), 0);
    if (Read != SOCKET_ERROR) return Read;
    // A socket that SendWithin made non-blocking: wait as a blocking read would.
    if (WSAGetLastError() != WSAEWOULDBLOCK || WaitReady(Raw(Handle), false, nullptr) <= 0) return -1;
  }
}

bool TSocket::WaitReadable(uint32_t TimeoutMs) {
  fd_set Readable;
  FD_ZERO(&Readable);
  FD_SET(Raw(Handle), &Readable);
  timeval Timeout = MakeTimeout(TimeoutMs);
  return select(0, &Readable, nullptr, nullptr, &Timeout) != 0;
}

void TSocket::Shutdown() {
  if (Valid()) shutdown(Raw(Handle), SD_BOTH);
}

void TSocket::Close() {
  if (Valid()) {
    closesocket(Raw(Handle));
    Handle = InvalidHandle;
    NonBlocking = false;
  }
}

uint16_t TSocket::LocalPort() const {
  sockaddr_in Local{};
  int Length = sizeof Local;
  if (getsockname(Raw(Handle), reinterpret_cast<sockaddr*>(&Local), &Length) != 0) return 0;
  return ntohs(Local.sin_port);
}

std::string TSocket::PeerText() const {
  sockaddr_in Remote{};
  int Length = sizeof Remote;
  if (getpeername(Raw(Handle), reinterpret_cast<sockaddr*>(&Remote), &Length) != 0) return {};
  return AddressText(Remote);
}

}  // namespace Platform
