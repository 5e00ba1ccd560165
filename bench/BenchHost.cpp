// The bench's plug-in host.
#include "bench/BenchHost.h"

#include <fstream>

#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

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

// The built plug-in beside the program (bench/CMakeLists.txt puts it there).
std::string BuiltPlugin() { return TestSupport::BuiltPluginPath({ProgramDir()}); }

std::string CopyPath(const std::string& Name) {
  const std::string Source = BuiltPlugin();
  return ProgramDir() + Name + Source.substr(Source.rfind('.'));
}

}  // namespace

std::string ProgramDir() { return Platform::DirectoryPart(Platform::HostExePath(1024)); }

void WriteText(const std::string& Path, const std::string& Bytes) {
  std::ofstream Out(Platform::ToNativePath(Path), std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

TBenchHost::TBenchHost(const std::string& Name)
    : Copy(BuiltPlugin(), CopyPath(Name)), Plugin(Copy.Path()) {}

void TBenchHost::Init() { Plugin.Init(&CountingCallback, 1); }

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
