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

class TFileServer {
public:
  // Receives each log line (without line end); called from any thread, one
  // call at a time.
  using TLogLine = std::function<void(const std::string& Line)>;

  TFileServer(const std::filesystem::path& Root, TLogLine Log);
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
  void Serve(TClient& Client);
  void ReapFinished(bool All);
  void Write(const std::string& Line);

  TFileOperations Operations;
  TLogLine Log;
  std::mutex LogLock;  // one log call at a time

  Net::TSocket Listener;  // owned by the accepting thread once started
  uint16_t ListenPort = 0;
  std::atomic<bool> Stopping{false};
  std::thread AcceptThread;
  std::list<TClient> Clients;  // the accepting thread's, and Stop's after it ended
};
