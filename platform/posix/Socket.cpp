// The socket layer on BSD sockets. Error codes are reported in
// Winsock numbering so that both systems speak of a failure alike.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace Platform {

namespace {

thread_local uint32_t ThreadError = 0;

uint32_t WinsockCode(int Code) {
  switch (Code) {
    case EINTR: return SocketErrorInterrupted;
    case EINVAL: return SocketErrorInvalidArgument;
    case EAGAIN: return SocketErrorWouldBlock;
    case EINPROGRESS: return SocketErrorWouldBlock;
    case EBADF:
    case ENOTSOCK: return SocketErrorNotSocket;
    case EADDRINUSE: return SocketErrorAddressInUse;
    case ENETUNREACH: return SocketErrorNetworkUnreachable;
    case ECONNABORTED: return SocketErrorConnectionAborted;
    case ECONNRESET: return SocketErrorConnectionReset;
    case ENOTCONN: return SocketErrorNotConnected;
    case EPIPE: return SocketErrorShutdown;
    case ETIMEDOUT: return SocketErrorTimedOut;
    case ECONNREFUSED: return SocketErrorConnectionRefused;
    case EHOSTUNREACH: return SocketErrorHostUnreachable;
    default: return 10000u + static_cast<uint32_t>(Code);
  }
}

void Fail() { ThreadError = WinsockCode(errno); }
void Fail(uint32_t Code) { ThreadError = Code; }

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

bool SetBlocking(int Fd, bool Blocking) {
  const int Flags = fcntl(Fd, F_GETFL, 0);
  if (Flags < 0) return false;
  return fcntl(Fd, F_SETFL, Blocking ? (Flags & ~O_NONBLOCK) : (Flags | O_NONBLOCK)) == 0;
}

uint64_t MonotonicMs() {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  return static_cast<uint64_t>(Now.tv_sec) * 1000u + static_cast<uint64_t>(Now.tv_nsec) / 1000000u;
}

// Waits for Events on Fd; >0 ready, 0 time-out, <0 error. Interrupted waits
// count as a time-out: every caller waits in slices and looks again.
int PollOne(int Fd, short Events, uint32_t TimeoutMs) {
  pollfd Entry{Fd, Events, 0};
  const int Result = poll(&Entry, 1, static_cast<int>(TimeoutMs));
  if (Result < 0 && errno == EINTR) return 0;
  if (Result < 0) Fail();
  return Result;
}

}  // namespace

bool StartSockets() { return true; }
void StopSockets() {}
uint32_t LastSocketError() { return ThreadError; }

bool ResolveHost(const std::string& Host, uint32_t& Address) {
  if (ResolveIPv4(Host, Address)) return true;
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  addrinfo* Found = nullptr;
  if (getaddrinfo(Host.c_str(), nullptr, &Hints, &Found) != 0 || Found == nullptr) {
    Fail(SocketErrorHostUnreachable);
    return false;
  }
  Address = ntohl(reinterpret_cast<const sockaddr_in*>(Found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(Found);
  return true;
}

std::string LocalHostName() {
  char Name[256] = {};
  if (gethostname(Name, sizeof Name - 1) != 0) return std::string();
  return Name;
}

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
  const int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (Fd < 0) {
    Fail();
    return false;
  }
  Handle = Fd;
  return true;
}

bool TSocket::OpenDatagram(uint32_t Address, uint16_t Port) {
  Close();
  const int Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  if (Fd < 0) {
    Fail();
    return false;
  }
  Handle = Fd;
  const sockaddr_in Remote = MakeAddress(Address, Port);
  if (connect(Fd, reinterpret_cast<const sockaddr*>(&Remote), sizeof Remote) == 0) return true;
  Fail();
  Close();
  return false;
}

bool TSocket::SendDatagram(const void* Data, size_t Size) {
  const ssize_t Sent = send(static_cast<int>(Handle), Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (Sent == static_cast<ssize_t>(Size)) return true;
  if (Sent < 0) Fail();
  return false;
}

bool TSocket::SetReuseAddress() {
  const int On = 1;
  if (setsockopt(static_cast<int>(Handle), SOL_SOCKET, SO_REUSEADDR, &On, sizeof On) == 0) return true;
  Fail();
  return false;
}

bool TSocket::SetNoDelay() {
  const int On = 1;
  if (setsockopt(static_cast<int>(Handle), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On) == 0) return true;
  Fail();
  return false;
}

bool TSocket::SetSendBuffer(uint32_t Bytes) {
  const int Value = static_cast<int>(Bytes);
  if (setsockopt(static_cast<int>(Handle), SOL_SOCKET, SO_SNDBUF, &Value, sizeof Value) == 0) return true;
  Fail();
  return false;
}

bool TSocket::SetSendTimeout(uint32_t Milliseconds) {
  timeval Value{};
  Value.tv_sec = static_cast<time_t>(Milliseconds / 1000);
  Value.tv_usec = static_cast<suseconds_t>((Milliseconds % 1000) * 1000);
  if (setsockopt(static_cast<int>(Handle), SOL_SOCKET, SO_SNDTIMEO, &Value, sizeof Value) == 0) return true;
  Fail();
  return false;
}

bool TSocket::Bind(uint32_t Address, uint16_t Port) {
  const sockaddr_in Local = MakeAddress(Address, Port);
  if (bind(static_cast<int>(Handle), reinterpret_cast<const sockaddr*>(&Local), sizeof Local) == 0) return true;
  Fail();
  return false;
}

bool TSocket::Listen(int Backlog) {
  if (listen(static_cast<int>(Handle), Backlog) == 0) return true;
  Fail();
  return false;
}

TSocket TSocket::Accept(uint32_t TimeoutMs, std::string* Peer) {
  TSocket Result;
  const int Ready = PollOne(static_cast<int>(Handle), POLLIN, TimeoutMs);
  if (Ready <= 0) {
    if (Ready == 0) Fail(SocketErrorTimedOut);
    return Result;
  }
  sockaddr_in From{};
  socklen_t Length = sizeof From;
  const int Fd = accept4(static_cast<int>(Handle), reinterpret_cast<sockaddr*>(&From), &Length, SOCK_CLOEXEC);
  if (Fd < 0) {
    Fail();
    return Result;
  }
  Result.Handle = Fd;
  if (Peer != nullptr) *Peer = AddressText(From);
  return Result;
}

TConnectState TSocket::BeginConnect(uint32_t Address, uint16_t Port) {
  const int Fd = static_cast<int>(Handle);
  if (!SetBlocking(Fd, false)) {
    Fail();
    return TConnectState::Failed;
  }
  const sockaddr_in Remote = MakeAddress(Address, Port);
  if (connect(Fd, reinterpret_cast<const sockaddr*>(&Remote), sizeof Remote) == 0) {
    SetBlocking(Fd, true);
    return TConnectState::Connected;
  }
  if (errno == EINPROGRESS || errno == EINTR) return TConnectState::Pending;
  Fail();
  return TConnectState::Failed;
}

TConnectState TSocket::WaitConnect(uint32_t TimeoutMs) {
  const int Fd = static_cast<int>(Handle);
  const int Ready = PollOne(Fd, POLLOUT, TimeoutMs);
  if (Ready == 0) return TConnectState::Pending;
  if (Ready < 0) return TConnectState::Failed;
  int Error = 0;
  socklen_t Length = sizeof Error;
  if (getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0) {
    Fail();
    return TConnectState::Failed;
  }
  if (Error != 0) {
    Fail(WinsockCode(Error));
    return TConnectState::Failed;
  }
  if (!SetBlocking(Fd, true)) {
    Fail();
    return TConnectState::Failed;
  }
  return TConnectState::Connected;
}

bool TSocket::SendAll(const void* Data, size_t Size) {
  const char* At = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t Sent = send(static_cast<int>(Handle), At, Size, MSG_NOSIGNAL);
    if (Sent < 0) {
      if (errno == EINTR) continue;
      Fail();
      return false;
    }
    At += Sent;
    Size -= static_cast<size_t>(Sent);
  }
  return true;
}

bool TSocket::SendWithin(const void* Data, size_t Size, uint32_t TimeoutMs, size_t* SentBytes) {
  // Never blocks in send itself (MSG_DONTWAIT): the wait for room is a poll
  // bounded by what is left of the time.
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
  const uint64_t Deadline = MonotonicMs() + TimeoutMs;
  while (Size > 0) {
    const ssize_t Sent = send(static_cast<int>(Handle), At, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Sent >= 0) {
      At += Sent;
      Size -= static_cast<size_t>(Sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail();
      return false;
    }
    const uint64_t Now = MonotonicMs();
    if (Now >= Deadline) {
      Fail(SocketErrorTimedOut);
      return false;
    }
    if (PollOne(static_cast<int>(Handle), POLLOUT, static_cast<uint32_t>(Deadline - Now)) < 0) return false;
  }
  return true;
}

int TSocket::Receive(void* Buffer, size_t Size) {
  for (;;) {
    const ssize_t Read = recv(static_cast<int>(Handle), Buffer, Size, 0);
    if (Read >= 0) return static_cast<int>(Read);
    if (errno == EINTR) continue;
    Fail();
    return -1;
  }
}

bool TSocket::WaitReadable(uint32_t TimeoutMs) {
  return PollOne(static_cast<int>(Handle), POLLIN, TimeoutMs) != 0;
}

void TSocket::Shutdown() {
  if (Valid()) shutdown(static_cast<int>(Handle), SHUT_RDWR);
}

void TSocket::Close() {
  if (Valid()) {
    close(static_cast<int>(Handle));
    Handle = InvalidHandle;
  }
}

uint16_t TSocket::LocalPort() const {
  sockaddr_in Local{};
  socklen_t Length = sizeof Local;
  if (getsockname(static_cast<int>(Handle), reinterpret_cast<sockaddr*>(&Local), &Length) != 0) return 0;
  return ntohs(Local.sin_port);
}

std::string TSocket::PeerText() const {
  sockaddr_in Remote{};
  socklen_t Length = sizeof Remote;
  if (getpeername(static_cast<int>(Handle), reinterpret_cast<sockaddr*>(&Remote), &Length) != 0) return {};
  return AddressText(Remote);
}

}  // namespace Platform
