// TBenchHost: a private copy of the plug-in beside the bench program, loaded
// through the shared plug-in loader (tests/support/PluginLibrary.h), and the
// answers its callback delivers counted. The transport double is driven by
// the shared controller (tests/support/TransportDouble.h). Both keep the host
// side as thin as a real host's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tests/support/PluginLibrary.h"
#include "tests/support/TransportDouble.h"

namespace Bench {

// Folder of the bench program, Windows form, ending in "\".
std::string ProgramDir();
void WriteText(const std::string& Path, const std::string& Bytes);

class TBenchHost {
public:
  // Copies the plug-in to "<Name>.so|.dll" beside the program and loads it.
  explicit TBenchHost(const std::string& Name);
  // Finalizes when initialized, unloads, removes the copy and its files.
  ~TBenchHost() = default;
  TBenchHost(const TBenchHost&) = delete;
  TBenchHost& operator=(const TBenchHost&) = delete;

  std::string FileName() const { return Copy.FileName(); }
  void Init();
  void Finalize() { Plugin.Finalize(); }
  int32_t Command(int32_t Session, const std::string& Packed) {
    return Plugin.Command(Session, Packed.data(), static_cast<uint32_t>(Packed.size()));
  }

  // Answers so far (all hosts of the process share one counter).
  static std::atomic<uint64_t>& Answers();
  // Blocks until Answers() reaches Count; the callback wakes this thread once,
  // at that answer, not at every answer. One waiting thread at a time.
  static void WaitUntilAnswered(uint64_t Count);
  static bool WaitForAnswers(uint64_t Count, uint32_t TimeoutMs);

private:
  TestSupport::TPluginCopy Copy;  // goes last: the library is unloaded before its files go
  TestSupport::TPluginLibrary Plugin;
};

// A packed command of exactly Size bytes: Operation=6 (echo), a Path filler.
std::string Command128(size_t Size = 128);

}  // namespace Bench
