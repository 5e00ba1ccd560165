// The file server's network side: a loopback listener, one thread per
// client, TPKT framing, and one log line per request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "standins/fileserver/FileOperations.h"
#include "platform/Socket.h"

// Limits and fault seams of one server; the defaults serve the real program.
struct TFileServerOptions {
  // How long one response may wait in all for the client to take it; a
  // client that has not taken it by then is dropped.
  uint32_t SendTimeoutMs = 5000;
  // Starts the thread that serves one client; throws std::system_error when
  // none can be started. Empty: std::thread.
  std::function<std::thread(std::function<void()> Body)> StartThread;
  // Takes the next connection from Listener within TimeoutMs: a valid socket
  // with Peer set, or an invalid one with Error set (Platform::SocketErrorTimedOut when
  // none came). Empty: Listener.Accept.
  std::function<Platform::TSocket(Platform::TSocket& Listener, uint32_t TimeoutMs, std::string& Peer, uint32_t& Error)>
      Accept;
};

// Pauses between accept attempts while accept keeps failing (out of
// descriptors, say): the first, doubled after every failure up to the last.
constexpr uint32_t AcceptBackOffFirstMs = 50;
constexpr uint32_t AcceptBackOffMaxMs = 1000;

// Value as it may appear inside a log line: every control byte (below 0x20,
// and 0x7F) written as \xHH, so that no value can end a line or forge one.
std::string LogText(const std::string& Value);

class TFileServer {
public:
  // Receives each log line (without line end); called from any thread, one
  // call at a time.
  using TLogLine = std::function<void(const std::string& Line)>;

  TFileServer(const std::filesystem::path& Root, TLogLine Log, TFileServerOptions Options = {});
  ~TFileServer();  // Stop
  TFileServer(const TFileServer&) = delete;
  TFileServer& operator=(const TFileServer&) = delete;

  // Listens on Address:Port (port 0: one the system picks) and starts
  // accepting. False with Error set when it cannot.
  bool Start(const std::string& Address, uint16_t Port, std::string& Error);
  uint16_t Port() const { return ListenPort; }
  // Stops accepting, ends every client's connection and waits for the
  // threads. Bounded: the accepting thread looks at the stop at least every
  // 200 ms, and every client's socket is shut down, which ends its wait for
  // a request or its send at once; what remains is a file operation under
  // way, on a regular file.
  void Stop();

private:
  struct TClient {
    // Used by the client's thread; shut down at its end and by Stop, closed
    // only once the thread has been joined, so a shutdown never meets a
    // closed (or reused) handle.
    Platform::TSocket Socket;
    std::string Peer;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  void AcceptLoop();
  Platform::TSocket AcceptNext(std::string& Peer, uint32_t& Error);
  std::thread StartThread(std::function<void()> Body);
  void Serve(TClient& Client);
  void ReapFinished(bool All);
  // Waits up to TimeoutMs, less once Stop has begun.
  void Pause(uint32_t TimeoutMs);
  void Write(const std::string& Line);

  TFileOperations Operations;
  TLogLine Log;
  const TFileServerOptions Options;
  std::mutex LogLock;  // one log call at a time

  Platform::TSocket Listener;  // owned by the accepting thread once started
  uint16_t ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::mutex StopLock;                 // with StopSignal: wakes a pause
  std::condition_variable StopSignal;  // notified by Stop
  std::thread AcceptThread;
  std::list<TClient> Clients;  // the accepting thread's, and Stop's after it ended
};
