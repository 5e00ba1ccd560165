// IPv4 sockets (win32/Socket.cpp on Winsock 2, posix/Socket.cpp on BSD
// sockets; the address texts in SocketAddress.cpp): a TCP stream socket with
// the few calls the syslog client, the TCP transport, the file server and
// their tests need, and a connected UDP socket whose sends never block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform {

// Error codes are Winsock numbers on every system (the posix source maps
// errno), so a code left as a thread's last error reads the same everywhere.
constexpr uint32_t SocketErrorInterrupted = 10004;       // WSAEINTR
constexpr uint32_t SocketErrorInvalidArgument = 10022;   // WSAEINVAL
constexpr uint32_t SocketErrorWouldBlock = 10035;        // WSAEWOULDBLOCK
constexpr uint32_t SocketErrorTooManyFiles = 10024;      // WSAEMFILE (the process's descriptors)
constexpr uint32_t SocketErrorNotSocket = 10038;         // WSAENOTSOCK
constexpr uint32_t SocketErrorAddressInUse = 10048;      // WSAEADDRINUSE
constexpr uint32_t SocketErrorNetworkUnreachable = 10051;
constexpr uint32_t SocketErrorConnectionAborted = 10053;
constexpr uint32_t SocketErrorConnectionReset = 10054;
constexpr uint32_t SocketErrorNotConnected = 10057;
constexpr uint32_t SocketErrorShutdown = 10058;
constexpr uint32_t SocketErrorTimedOut = 10060;
constexpr uint32_t SocketErrorConnectionRefused = 10061;
constexpr uint32_t SocketErrorHostUnreachable = 10065;

// Winsock must be started before the first socket of a process and may be
// stopped after the last one; both calls are counted (no-ops natively).
// Neither may run inside a library's load-time or unload-time notification:
// Winsock loads and unloads helper libraries there.
bool StartSockets();
void StopSockets();

// The error of the last failed call of this layer on the calling thread.
uint32_t LastSocketError();

// An IPv4 address in host byte order. "localhost" and dotted quads resolve;
// false for anything else (no name service is asked for other names).
bool ResolveIPv4(const std::string& Host, uint32_t& Address);
std::string IPv4Text(uint32_t Address);
// ResolveIPv4, else the system's name service (the first IPv4 address it
// gives). May wait for the network; the sockets must be started.
bool ResolveHost(const std::string& Host, uint32_t& Address);
// This machine's host name as the network knows it (the DNS host name on
// Windows); empty when the system gives none.
std::string LocalHostName();

enum class TConnectState { Connected, Pending, Failed };

// One TCP socket; closed when the object goes. Not thread-safe by itself: its
// owner decides which thread may call what (Shutdown may be called from any
// thread while the handle is open, to wake a reader or a writer).
class TSocket {
public:
  TSocket() = default;
  ~TSocket();
  TSocket(TSocket&& Other) noexcept;
  TSocket& operator=(TSocket&& Other) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  bool Valid() const { return Handle != InvalidHandle; }
  bool Open();  // a new stream socket; any old one is closed first
  // A new UDP socket connected to Address:Port (only its datagrams arrive;
  // an ICMP refusal fails a later send) and never blocking; any old one is
  // closed first.
  bool OpenDatagram(uint32_t Address, uint16_t Port);
  // Sends one datagram on an OpenDatagram socket without waiting: false when
  // it could not go at once (no room, a refusal reported by the peer's
  // system, any error). Several threads may send on one socket at once.
  bool SendDatagram(const void* Data, size_t Size);
  bool SetReuseAddress();
  bool SetNoDelay();
  bool SetSendTimeout(uint32_t Milliseconds);
  bool SetSendBuffer(uint32_t Bytes);  // the system's buffer for bytes not yet taken by the peer
  bool Bind(uint32_t Address, uint16_t Port);
  bool Listen(int Backlog);
  // The next queued connection, waiting at most TimeoutMs; an invalid socket
  // on time-out or error. Peer, when given, receives "address:port".
  TSocket Accept(uint32_t TimeoutMs, std::string* Peer = nullptr);

  // Connecting in two steps so that the caller can look at a stop request
  // between waits: BeginConnect starts it, WaitConnect waits at most TimeoutMs
  // for the outcome. The socket is blocking again once Connected.
  TConnectState BeginConnect(uint32_t Address, uint16_t Port);
  TConnectState WaitConnect(uint32_t TimeoutMs);

  // Sends every byte (false on error: LastError() tells why).
  bool SendAll(const void* Data, size_t Size);
  // Sends every byte within TimeoutMs in all, however slowly the peer takes
  // them. False on an error, or when the time runs out (LastSocketError() is
  // SocketErrorTimedOut): Sent, when given, then tells how many bytes went
  // out; a caller that does not go on from there must drop the stream.
  bool SendWithin(const void* Data, size_t Size, uint32_t TimeoutMs, size_t* Sent = nullptr);
  // >0: bytes read; 0: the peer closed; -1: error.
  int Receive(void* Buffer, size_t Size);
  // True when a Receive would not block (data, end of stream or an error);
  // false on time-out.
  bool WaitReadable(uint32_t TimeoutMs);

  void Shutdown();  // both directions; harmless on a socket that is not connected
  void Close();
  uint16_t LocalPort() const;
  std::string PeerText() const;  // "address:port", empty when unknown

private:
  static constexpr intptr_t InvalidHandle = -1;
  intptr_t Handle = InvalidHandle;
  // Winsock only: SendWithin switched the socket to non-blocking mode (once;
  // SendAll and Receive wait where a blocking call would), or it is a
  // datagram socket. Owned by the sending thread.
  [[maybe_unused]] bool NonBlocking = false;  // unused by the posix backend
};

}  // namespace Platform
