// velmora-fileserver: serves the files under one root folder to TPKT clients
// on a loopback address until SIGINT or SIGTERM, and is gone at most
// StopBoundMs after the signal.
//   velmora-fileserver [--listen 127.0.0.1:25001] [--root DIR]
// With port 0 the system picks a free port; the first line printed is always
// "listening ADDRESS:PORT", so scripts can read the port.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "standins/fileserver/FileServer.h"
#include "platform/Socket.h"

namespace {

volatile std::sig_atomic_t StopRequested = 0;

// The server's stop ends within about 300 ms (see TFileServer::Stop); this
// bound is the backstop for a thread that the system holds anyway (a file
// operation stuck in a hung file system): the process then exits without it.
constexpr int StopBoundMs = 3000;

void OnSignal(int) { StopRequested = 1; }

void PrintLine(const std::string& Line) {
  std::fputs((Line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int Usage(const std::string& Problem) {
  std::fprintf(stderr, "velmora-fileserver: %s\nusage: velmora-fileserver [--listen 127.0.0.1:25001] [--root DIR]\n",
               Problem.c_str());
  return 2;
}

// Loopback only: the server hands out and changes files without any check of
// who asks.
bool IsLoopback(uint32_t Address) { return (Address >> 24) == 127; }

}  // namespace

int main(int argc, char** argv) {
  std::string Address = "127.0.0.1";
  std::string PortText = "25001";
  std::string Root = ".";
  for (int Index = 1; Index < argc; ++Index) {
    const std::string Option = argv[Index];
    if ((Option == "--listen" || Option == "--root") && Index + 1 < argc) {
      const std::string Value = argv[++Index];
      if (Option == "--root") {
        Root = Value;
        continue;
      }
      const size_t Colon = Value.rfind(':');
      if (Colon == std::string::npos) return Usage("--listen wants ADDRESS:PORT");
      Address = Value.substr(0, Colon);
      PortText = Value.substr(Colon + 1);
    } else {
      return Usage("unknown argument " + Option);
    }
  }
  if (PortText.empty() || PortText.size() > 5 || PortText.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(PortText) > 65535) {
    return Usage("bad port " + PortText);
  }
  uint32_t Host = 0;
  if (!Platform::ResolveIPv4(Address, Host) || !IsLoopback(Host)) {
    return Usage("only loopback addresses are served: " + Address);
  }
  std::error_code Code;
  if (!std::filesystem::is_directory(Root, Code)) return Usage("root is not a folder: " + Root);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  try {
    TFileServer Server(Root, PrintLine);
    std::string Error;
    if (!Server.Start(Address, static_cast<uint16_t>(std::stoul(PortText)), Error)) {
      std::fprintf(stderr, "velmora-fileserver: %s\n", Error.c_str());
      return 1;
    }
    PrintLine("listening " + Platform::IPv4Text(Host) + ":" + std::to_string(Server.Port()));
    PrintLine("root " + LogText(std::filesystem::canonical(Root).string()));
    while (StopRequested == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::future<void> Stopped = std::async(std::launch::async, [&Server] { Server.Stop(); });
    if (Stopped.wait_for(std::chrono::milliseconds(StopBoundMs)) != std::future_status::ready) {
      PrintLine("stop: a client's thread did not end within " + std::to_string(StopBoundMs) + " ms; exiting");
      std::_Exit(3);
    }
    PrintLine("stopped");
  } catch (const std::exception& Failure) {
    std::fprintf(stderr, "velmora-fileserver: %s\n", Failure.what());
    return 1;
  }
  return 0;
}
