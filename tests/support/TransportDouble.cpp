// The tests' handle on the transport double: loading it and resolving its
// control entries.
#include "tests/support/TransportDouble.h"

#include <stdexcept>
#include <vector>

namespace TestSupport {

namespace {

// The double sets the last error through this program's own platform layer,
// the one the client under test reads it from.
void VELMORA_STDCALL SetThisModulesLastError(uint32_t Code) { Platform::SetLastError(Code); }

template <typename TEntry>
void Resolve(Platform::TLibrary Library, TEntry& Entry, const char* Name) {
  Entry = reinterpret_cast<TEntry>(Platform::GetLibraryProc(Library, Name));
  if (Entry == nullptr) throw std::runtime_error(std::string("transport double lacks ") + Name);
}

}  // namespace

TTransportDouble::TTransportDouble() {
  Library = Platform::LoadLibraryByName("cl_vexo_transport.dll");
  if (Library == nullptr) throw std::runtime_error("transport double not found");
  try {
    Resolve(Library, FReset, "Double_Reset");
    Resolve(Library, FClearLog, "Double_ClearLog");
    Resolve(Library, FSetResult, "Double_SetResult");
    Resolve(Library, FSetLastErrorSetter, "Double_SetLastErrorSetter");
    Resolve(Library, FFireConnect, "Double_FireConnect");
    Resolve(Library, FFireDisconnect, "Double_FireDisconnect");
    Resolve(Library, FFireReceive, "Double_FireReceive");
    Resolve(Library, FFireAuxReceive, "Double_FireAuxReceive");
    Resolve(Library, FCallCount, "Double_CallCount");
    Resolve(Library, FCallLog, "Double_CallLog");
    Resolve(Library, FLastSend, "Double_LastSend");
    Resolve(Library, FSetAutoConnect, "Double_SetAutoConnect");
    Resolve(Library, FSetAutoDisconnect, "Double_SetAutoDisconnect");
    Resolve(Library, FSetAutoEcho, "Double_SetAutoEcho");
  } catch (...) {
    Platform::UnloadLibrary(Library);
    throw;
  }
  FReset();
  FSetLastErrorSetter(&SetThisModulesLastError);
}

TTransportDouble::~TTransportDouble() {
  FReset();
  Platform::UnloadLibrary(Library);
}

std::string TTransportDouble::CallLog() {
  const int32_t Length = FCallLog(nullptr, 0);
  std::vector<char> Buffer(static_cast<size_t>(Length) + 1);
  FCallLog(Buffer.data(), static_cast<int32_t>(Buffer.size()));
  return std::string(Buffer.data(), static_cast<size_t>(Length));
}

std::string TTransportDouble::LastSendBytes() {
  const int32_t Size = FLastSend(nullptr, 0);
  if (Size <= 0) return std::string();
  std::string Bytes(static_cast<size_t>(Size), '\0');
  FLastSend(Bytes.data(), Size);
  return Bytes;
}

}  // namespace TestSupport
