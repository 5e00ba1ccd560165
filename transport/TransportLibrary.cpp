// Loading, sharing and releasing the transport library, and the names of its
// result codes.
#include "transport/TransportLibrary.h"

#include <stdexcept>

#include "platform/Libraries.h"

namespace {

// Binding state: used only by the thread that creates and destroys clients
// (load and unload); other threads read the entries while they hold a client.
Platform::TLibrary Library = nullptr;
TTransportEntries Entries;
int RefCount = 0;

// Takes the eight entry points from the loaded library; false when it lacks
// any of them.
bool TakeEntries() {
  using Platform::LibraryEntryPoint;
  TTransportEntries& E = Entries;
  E.CreateTermination = LibraryEntryPoint<TCreateTermination>(Library, "CreateTermination");
  E.DestroyTermination = LibraryEntryPoint<TDestroyTermination>(Library, "DestroyTermination");
  E.ConnectToServer = LibraryEntryPoint<TConnectToServer>(Library, "ConnectToServer");
  E.DisconnectFromServer =
      LibraryEntryPoint<TDisconnectFromServer>(Library, "DisconnectFromServer");
  E.SendToServer = LibraryEntryPoint<TSendToServer>(Library, "SendToServer");
  E.SetSendLoadInfoEvent =
      LibraryEntryPoint<TSetSendLoadInfoEvent>(Library, "SetSendLoadInfoEvent");
  E.GetConnectionInfo = LibraryEntryPoint<TGetConnectionInfo>(Library, "GetConnectionInfo");
  E.GetDNSFistServerName =
      LibraryEntryPoint<TGetDNSFistServerName>(Library, "GetDNSFistServerName");
  return E.CreateTermination != nullptr && E.DestroyTermination != nullptr &&
         E.ConnectToServer != nullptr && E.DisconnectFromServer != nullptr &&
         E.SendToServer != nullptr && E.SetSendLoadInfoEvent != nullptr &&
         E.GetConnectionInfo != nullptr && E.GetDNSFistServerName != nullptr;
}

void FreeLibrary() {
  if (Library != nullptr) Platform::UnloadLibrary(Library);
  Library = nullptr;
  Entries = TTransportEntries();
}

std::string Quoted(const char* Name) { return std::string("\"") + Name + "\""; }

}  // namespace

void LoadTransportLibrary() {
  ++RefCount;
  if (RefCount > 1 && Library != nullptr) return;
  Library = Platform::LoadLibraryByName(TransportLibraryName);
  if (Library == nullptr) {
    --RefCount;
    // "Не найдена библиотека "%s""
    throw std::runtime_error("\xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED\xE0 "
                             "\xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE0 " +
                             Quoted(TransportLibraryName));
  }
  if (!TakeEntries()) {
    FreeLibrary();
    --RefCount;
    // "Версия библиотеки "%s" не соответствует требуемой."
    throw std::runtime_error("\xC2\xE5\xF0\xF1\xE8\xFF \xE1\xE8\xE1\xEB\xE8\xEE\xF2\xE5\xEA\xE8 " +
                             Quoted(TransportLibraryName) +
                             " \xED\xE5 \xF1\xEE\xEE\xF2\xE2\xE5\xF2\xF1\xF2\xE2\xF3\xE5\xF2 "
                             "\xF2\xF0\xE5\xE1\xF3\xE5\xEC\xEE\xE9.");
  }
}

void UnloadTransportLibrary() {
  if (RefCount > 0) --RefCount;
  if (RefCount == 0) FreeLibrary();
}

const TTransportEntries& TransportEntries() { return Entries; }

int TransportLibraryRefCount() { return RefCount; }

bool TransportLibraryLoaded() { return Library != nullptr; }

std::string TransportErrorName(int32_t Code) {
  static const char* const Names[] = {"teSUCCESS",         "teLASTERROR", "teCONNECTTIMEOUTED",
                                      "teINVALIDPARAMS",   "teMOREDATA",  "teNODLLFOUND",
                                      "teNODATA",          "teNOTIMPLEMENTED", "teDISCONNECT"};
  if (Code < 0 || Code > 8) return "Unknown error";
  return Names[Code];
}
