// The process-wide binding to the transport library "cl_vexo_transport.dll":
// loading and sharing it among the client objects, its entry points, and the
// names of its result codes.
#pragma once

#include <cstdint>
#include <string>

#include "transport/TransportApi.h"

// The file name of the transport library, loaded by bare name (the platform's
// normal library search, which starts in the host executable's folder).
inline constexpr const char* TransportLibraryName = "cl_vexo_transport.dll";

// The eight entry points, resolved in this order. All are set while the
// library is loaded and all are null otherwise. They are the library's code:
// the client calls each one only under the foreign-call guard
// (Platform::CallForeign), so that a fault inside it becomes a failure of the
// operation that called it.
struct TTransportEntries {
  TCreateTermination CreateTermination = nullptr;
  TDestroyTermination DestroyTermination = nullptr;
  TConnectToServer ConnectToServer = nullptr;
  TDisconnectFromServer DisconnectFromServer = nullptr;
  TSendToServer SendToServer = nullptr;
  TSetSendLoadInfoEvent SetSendLoadInfoEvent = nullptr;
  TGetConnectionInfo GetConnectionInfo = nullptr;
  TGetDNSFistServerName GetDNSFistServerName = nullptr;
};

// Takes one reference to the library, loading it for the first one. Throws
// std::runtime_error with the not-found text when the library cannot be
// loaded and with the version text when an entry point is missing; a failed
// call leaves the reference count as it was and holds no library.
// Load and unload run on the one thread that creates and destroys clients.
void LoadTransportLibrary();
// Drops one reference; the last one frees the library and clears the entries.
void UnloadTransportLibrary();

// The entry points of the loaded library (valid while a reference is held).
const TTransportEntries& TransportEntries();

// The number of live references (one per client object) and whether a
// library is held: for tests and diagnostics.
int TransportLibraryRefCount();
bool TransportLibraryLoaded();

// "teSUCCESS" .. "teDISCONNECT" for 0 .. 8, "Unknown error" for anything else.
std::string TransportErrorName(int32_t Code);
