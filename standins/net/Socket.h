// The stand-ins' own small TCP socket layer: one blocking IPv4 stream socket
// with the few calls the TCP transport, the file server and their tests need.
// Winsock on Win32, BSD sockets natively; CMake picks the source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Net {

// Error codes are Winsock numbers on every system (the posix source maps
// errno), so a code left as a thread's last error reads the same everywhere.
constexpr uint32_t ErrorInterrupted = 10004;       // WSAEINTR
constexpr uint32_t ErrorInvalidArgument = 10022;   // WSAEINVAL
constexpr uint32_t ErrorWouldBlock = 10035;        // WSAEWOULDBLOCK
constexpr uint32_t ErrorTooManyFiles = 10024;      // WSAEMFILE (the process's descriptors)
constexpr uint32_t ErrorNotSocket = 10038;         // WSAENOTSOCK
constexpr uint32_t ErrorAddressInUse = 10048;      // WSAEADDRINUSE
constexpr uint32_t ErrorNetworkUnreachable = 10051;
constexpr uint32_t ErrorConnectionAborted = 10053;
constexpr uint32_t ErrorConnectionReset = 10054;
constexpr uint32_t ErrorNotConnected = 10057;
constexpr uint32_t ErrorShutdown = 10058;
constexpr uint32_t ErrorTimedOut = 10060;
constexpr uint32_t ErrorConnectionRefused = 10061;
constexpr uint32_t ErrorHostUnreachable = 10065;

// Winsock must be started before the first socket of a process and may be
// stopped after the last one; both calls are counted (no-ops natively).
bool Startup();
void Cleanup();

// The error of the last failed call of this layer on the calling thread.
uint32_t LastError();

// An IPv4 address in host byte order. "localhost" and dotted quads resolve;
// false for anything else (no name service is asked for other names).
bool ResolveIPv4(const std::string& Host, uint32_t& Address);
std::string IPv4Text(uint32_t Address);

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
  bool SetReuseAddress();
  bool SetNoDelay();
  bool SetSendTimeout(uint32_t Milliseconds);
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
  // them. False on an error, or when the time runs out (LastError() is
  // ErrorTimedOut): an unknown part of the bytes may have gone out then, so a
  // stream that frames its messages is cut and must be dropped.
  bool SendWithin(const void* Data, size_t Size, uint32_t TimeoutMs);
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
  // SendAll and Receive wait where a blocking call would). Owned by the
  // sending thread.
  [[maybe_unused]] bool NonBlocking = false;  // unused by the posix backend
};

}  // namespace Net
