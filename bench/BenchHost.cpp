// The bench's plug-in host and transport-double control.
#include "bench/BenchHost.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "standins/transport-double/DoubleControl.h"

namespace fs = std::filesystem;

namespace Bench {

namespace {

std::atomic<uint64_t>& WakeAt() {
  static std::atomic<uint64_t> Count{0};
  return Count;
}

Platform::TSemaphore& AnswerWake() {
  static Platform::TSemaphore* Wake = new Platform::TSemaphore(0, 1 << 30);  // lives on
  return *Wake;
}

// The callback runs on the plug-in's worker: it counts, and wakes the host
// thread only at the answer it waits for (sequentially consistent with
// WaitUntilAnswered: one of the two always sees the other's store).
void VELMORA_STDCALL CountingCallback(int32_t, const char*, const void*, int32_t, uintptr_t) {
  const uint64_t Count = TBenchHost::Answers().fetch_add(1) + 1;
  if (Count == WakeAt().load()) AnswerWake().Release(1);
}

template <typename T>
T Entry(Platform::TLibrary Library, const char* Name) {
  void* Address = Platform::GetLibraryProc(Library, Name);
  if (Address == nullptr) throw std::runtime_error(std::string("library lacks ") + Name);
  return reinterpret_cast<T>(Address);
}

std::string BuiltPlugin() {
  for (const char* Name : {"Velmora.dll", "Velmora.so"}) {
    if (fs::exists(Platform::ToNativePath(ProgramDir() + Name))) return ProgramDir() + Name;
  }
  throw std::runtime_error("the plug-in library is not beside the bench program");
}

}  // namespace

std::string ProgramDir() { return Platform::DirectoryPart(Platform::HostExePath(1024)); }

void WriteText(const std::string& Path, const std::string& Bytes) {
  std::ofstream Out(Platform::ToNativePath(Path), std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

TBenchHost::TBenchHost(const std::string& Name) {
  const std::string Source = BuiltPlugin();
  CopyName = Name + Source.substr(Source.rfind('.'));
  CopyPath = ProgramDir() + CopyName;
  // A copy left by an interrupted run goes first (MinGW's copy_file does not
  // overwrite even when asked to).
  std::error_code Ignored;
  fs::remove(Platform::ToNativePath(CopyPath), Ignored);
  fs::copy_file(Platform::ToNativePath(Source), Platform::ToNativePath(CopyPath),
                fs::copy_options::overwrite_existing);
  Library = Platform::LoadLibraryByName(CopyPath);
  if (Library == nullptr) throw std::runtime_error("cannot load " + CopyPath);
  InitEntry = Entry<decltype(InitEntry)>(Library, "Init_Plugin");
  CommandEntry = Entry<decltype(CommandEntry)>(Library, "Command_Plugin");
  FinalizeEntry = Entry<decltype(FinalizeEntry)>(Library, "Finalize_Plugin");
}

TBenchHost::~TBenchHost() {
  if (Initialized) Finalize();
  Platform::UnloadLibrary(Library);
  std::error_code Error;
  fs::remove(Platform::ToNativePath(CopyPath), Error);
  // The plug-in writes its default settings beside itself: no leftovers.
  fs::remove(Platform::ToNativePath(CopyPath.substr(0, CopyPath.rfind('.')) + ".ini"), Error);
}

void TBenchHost::Init() {
  const char* Name = nullptr;
  InitEntry(&Name, &CountingCallback, 1);
  Initialized = true;
}

void TBenchHost::Finalize() {
  FinalizeEntry();
  Initialized = false;
}

std::atomic<uint64_t>& TBenchHost::Answers() {
  static std::atomic<uint64_t> Count{0};
  return Count;
}

void TBenchHost::WaitUntilAnswered(uint64_t Count) {
  WakeAt().store(Count);
  // A wake left over from an earlier count only makes the loop look again.
  while (Answers().load() < Count) AnswerWake().Wait(1000);
}

bool TBenchHost::WaitForAnswers(uint64_t Count, uint32_t TimeoutMs) {
  const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
  while (Answers().load(std::memory_order_acquire) < Count) {
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(1);
  }
  return true;
}

TDoubleControl::TDoubleControl() {
  Library = Platform::LoadLibraryByName("cl_vexo_transport.dll");
  if (Library == nullptr) throw std::runtime_error("transport double not found");
  Reset();
}

TDoubleControl::~TDoubleControl() {
  Reset();
  Platform::UnloadLibrary(Library);
}

void* TDoubleControl::Proc(const char* Name) const {
  void* Address = Platform::GetLibraryProc(Library, Name);
  if (Address == nullptr) throw std::runtime_error(std::string("transport double lacks ") + Name);
  return Address;
}

void TDoubleControl::Reset() { reinterpret_cast<TDouble_Reset>(Proc("Double_Reset"))(); }
void TDoubleControl::ClearLog() { reinterpret_cast<TDouble_ClearLog>(Proc("Double_ClearLog"))(); }
void TDoubleControl::RecordCalls(bool Enabled) {
  reinterpret_cast<TDouble_SetRecordCalls>(Proc("Double_SetRecordCalls"))(Enabled ? 1 : 0);
}
void TDoubleControl::AutoEcho(bool Enabled) {
  reinterpret_cast<TDouble_SetAutoEcho>(Proc("Double_SetAutoEcho"))(Enabled ? 1 : 0, 0, nullptr, 0);
}
void TDoubleControl::AutoDisconnect(bool Enabled) {
  reinterpret_cast<TDouble_SetAutoDisconnect>(Proc("Double_SetAutoDisconnect"))(Enabled ? 1 : 0);
}
bool TDoubleControl::FireConnect() {
  return reinterpret_cast<TDouble_FireConnect>(Proc("Double_FireConnect"))() == 1;
}

std::string Command128(size_t Size) {
  // "Operation=6\0Path=<filler>\0": 11 + 1 + 5 + filler + 1 bytes.
  const size_t Filler = Size > 18 ? Size - 18 : 0;
  std::string Bytes("Operation=6", 11);
  Bytes += '\0';
  Bytes += "Path=" + std::string(Filler, 'x');
  Bytes += '\0';
  return Bytes;
}

}  // namespace Bench
