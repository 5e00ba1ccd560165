// TBenchHost: loads a private copy of the plug-in beside the bench program and
// counts the answers its callback delivers; TDoubleControl drives the
// transport double. Both keep the host side as thin as a real host's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "plugin/PluginApi.h"

namespace Bench {

// Folder of the bench program, Windows form, ending in "\".
std::string ProgramDir();
void WriteText(const std::string& Path, const std::string& Bytes);

class TBenchHost {
public:
  // Copies the plug-in to "<Name>.so|.dll" beside the program and loads it.
  explicit TBenchHost(const std::string& Name);
  ~TBenchHost();  // finalizes when initialized, unloads, removes the copy
  TBenchHost(const TBenchHost&) = delete;
  TBenchHost& operator=(const TBenchHost&) = delete;

  const std::string& FileName() const { return CopyName; }
  void Init();
  void Finalize();
  int32_t Command(int32_t Session, const std::string& Packed) {
    return CommandEntry(Session, Packed.data(), static_cast<uint32_t>(Packed.size()));
  }

  // Answers so far (all hosts of the process share one counter).
  static std::atomic<uint64_t>& Answers();
  // Blocks until Answers() reaches Count; the callback wakes this thread once,
  // at that answer, not at every answer. One waiting thread at a time.
  static void WaitUntilAnswered(uint64_t Count);
  static bool WaitForAnswers(uint64_t Count, uint32_t TimeoutMs);

private:
  std::string CopyName;
  std::string CopyPath;
  Platform::TLibrary Library = nullptr;
  bool Initialized = false;
  void(VELMORA_STDCALL* InitEntry)(const char**, TScenarioCallback, uintptr_t) = nullptr;
  int32_t(VELMORA_STDCALL* CommandEntry)(int32_t, const void*, uint32_t) = nullptr;
  void(VELMORA_STDCALL* FinalizeEntry)() = nullptr;
};

// The double's control entries (loaded by the name the plug-in loads it by).
class TDoubleControl {
public:
  TDoubleControl();
  ~TDoubleControl();
  TDoubleControl(const TDoubleControl&) = delete;
  TDoubleControl& operator=(const TDoubleControl&) = delete;
  void Reset();
  void AutoEcho(bool Enabled);
  void AutoDisconnect(bool Enabled);
  bool FireConnect();
  void ClearLog();  // the double records every call: keep that record short
  // Off: the double keeps no record of calls, so the figures are the
  // plug-in's, not the double's bookkeeping (Reset turns it on again).
  void RecordCalls(bool Enabled);

private:
  Platform::TLibrary Library = nullptr;
  void* Proc(const char* Name) const;
};

// A packed command of exactly Size bytes: Operation=6 (echo), a Path filler.
std::string Command128(size_t Size = 128);

}  // namespace Bench
