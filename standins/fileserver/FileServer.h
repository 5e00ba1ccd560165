// The file server's network side: a loopback listener, one thread per
// client, TPKT framing, and one log line per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "standins/fileserver/FileOperations.h"
#include "standins/net/Socket.h"

// Limits and fault seams of one server; the defaults serve the real program.
struct TFileServerOptions {
  // How long one response may wait in all for the client to take it.
  uint32_t SendTimeoutMs = 5000;
  // Starts the thread that serves one client; throws std::system_error when
  // none can be started. Empty: std::thread.
  std::function<std::thread(std::function<void()> Body)> StartThread;
  // Takes the next connection from Listener within TimeoutMs: a valid socket
  // with Peer set, or an invalid one with Error set (Net::ErrorTimedOut when
  // none came). Empty: Listener.Accept.
  std::function<Net::TSocket(Net::TSocket& Listener, uint32_t TimeoutMs, std::string& Peer, uint32_t& Error)>
      Accept;
};

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
  // Stops accepting, ends every client's connection and waits for the threads.
  void Stop();

private:
  struct TClient {
    Net::TSocket Socket;  // owned by the client's thread
    std::string Peer;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  void AcceptLoop();
  Net::TSocket AcceptNext(std::string& Peer, uint32_t& Error);
  std::thread StartThread(std::function<void()> Body);
  void Serve(TClient& Client);
  void ReapFinished(bool All);
  void Write(const std::string& Line);

  TFileOperations Operations;
  TLogLine Log;
  const TFileServerOptions Options;
  std::mutex LogLock;  // one log call at a time

  Net::TSocket Listener;  // owned by the accepting thread once started
  uint16_t ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::thread AcceptThread;
  std::list<TClient> Clients;  // the accepting thread's, and Stop's after it ended
};
