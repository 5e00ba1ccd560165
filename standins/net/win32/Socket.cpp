// The stand-ins' socket layer on Winsock 2. Error codes are Winsock's own.
#include "standins/net/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace Net {

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

}  // namespace

bool Startup() {
  WSADATA Data;
  return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
}

void Cleanup() { WSACleanup(); }

uint32_t LastError() { return static_cast<uint32_t>(WSAGetLastError()); }

TSocket::~TSocket() { Close(); }

TSocket::TSocket(TSocket&& Other) noexcept : Handle(Other.Handle) { Other.Handle = InvalidHandle; }

TSocket& TSocket::operator=(TSocket&& Other) noexcept {
  if (this != &Other) {
    Close();
    Handle = Other.Handle;
    Other.Handle = InvalidHandle;
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

bool TSocket::SetReuseAddress() {
  const BOOL On = TRUE;
  return setsockopt(Raw(Handle), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&On), sizeof On) == 0;
}

bool TSocket::SetNoDelay() {
  const BOOL On = TRUE;
  return setsockopt(Raw(Handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On), sizeof On) == 0;
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
    Fail(ErrorTimedOut);
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
    Fail(Error != 0 ? static_cast<uint32_t>(Error) : ErrorConnectionRefused);
    return TConnectState::Failed;
  }
  if (!SetBlocking(Raw(Handle), true)) return TConnectState::Failed;
  return TConnectState::Connected;
}

bool TSocket::SendAll(const void* Data, size_t Size) {
  const char* At = static_cast<const char*>(Data);
  while (Size > 0) {
    const int Chunk = Size > 0x10000 ? 0x10000 : static_cast<int>(Size);
    const int Sent = send(Raw(Handle), At, Chunk, 0);
    if (Sent == SOCKET_ERROR) return false;
    At += Sent;
    Size -= static_cast<size_t>(Sent);
  }
  return true;
}

int TSocket::Receive(void* Buffer, size_t Size) {
  const int Chunk = Size > 0x10000 ? 0x10000 : static_cast<int>(Size);
  const int Read = recv(Raw(Handle), static_cast<char*>(Buffer), Chunk, 0);
  return Read == SOCKET_ERROR ? -1 : Read;
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

}  // namespace Net
