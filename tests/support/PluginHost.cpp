// The test host: private plug-in copies, the recording callback, log reads.
#include "tests/support/PluginHost.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

// The recorder is shared by the callback (plug-in's worker thread) and the
// test thread; the lock guards every field.
struct TRecorder {
  Platform::TCriticalSection Lock;
  std::vector<TCallbackCall> Calls;
  TPluginHost::TInsideCallback Inside = nullptr;
  void* InsideContext = nullptr;
};

TRecorder& Recorder() {
  static TRecorder* Instance = new TRecorder;  // lives until the process ends
  return *Instance;
}

void VELMORA_STDCALL RecordingCallback(int32_t SessionACT, const char* PluginName,
                                       const void* Data, int32_t Length, uintptr_t UserValue) {
  TCallbackCall Call;
  Call.SessionACT = SessionACT;
  Call.PluginNamePointer = PluginName;
  Call.PluginName = PluginName != nullptr ? PluginName : "";
  if (Data != nullptr && Length > 0) {
    Call.Data.assign(static_cast<const char*>(Data), static_cast<size_t>(Length));
  }
  Call.Length = Length;
  Call.UserValue = UserValue;
  Call.ThreadId = Platform::CurrentThreadId();
  TPluginHost::TInsideCallback Inside;
  void* Context;
  {
    Platform::TLockGuard Guard(Recorder().Lock);
    Recorder().Calls.push_back(Call);
    Inside = Recorder().Inside;
    Context = Recorder().InsideContext;
  }
  if (Inside != nullptr) Inside(Call, Context);
}

// A fresh file name for each copy, in a folder below the program's.
std::string CopyPath(const std::string& Source) {
  const std::string Directory = BinaryDir() + "plugin-copies\\";
  fs::create_directories(Platform::ToNativePath(Directory));
  std::random_device Random;
  const std::string Extension = Source.substr(Source.rfind('.'));
  return Directory + "Velmora_" + std::to_string(Random()) + "_" +
         std::to_string(Platform::CurrentThreadId()) + Extension;
}

// Suites that need a folder of their own run one level below bin.
std::string BuiltPlugin(const std::string& SourceFolder) {
  if (!SourceFolder.empty()) return BuiltPluginPath({SourceFolder});
  return BuiltPluginPath({BinaryDir(), BinaryDir() + "..\\"});
}

}  // namespace

THostLogSetting::THostLogSetting(const std::string& PluginFileName,
                                 const std::string& LogServerSetting) {
  if (LogServerSetting.empty()) return;
  const std::string Program = Platform::HostExePath();
  const size_t Dot = Program.rfind('.');
  const size_t Delimiter = Program.find_last_of("\\:");
  const bool HasExtension = Dot != std::string::npos && (Delimiter == std::string::npos || Dot > Delimiter);
  Path = (HasExtension ? Program.substr(0, Dot) : Program) + ".ini";
  WriteFileBytes(Path, "[Debug]\r\n" + PluginFileName + "=" + LogServerSetting + "\r\n");
}

THostLogSetting::~THostLogSetting() {
  if (!Path.empty()) RemoveTree(Path);
}

TPluginHost::TPluginHost(const std::string& SettingsText, const std::string& LogServerSetting,
                         const std::string& SourceFolder)
    : Copy(BuiltPlugin(SourceFolder), CopyPath(BuiltPlugin(SourceFolder)), SettingsText),
      LogSetting(Copy.FileName(), LogServerSetting),
      Plugin(Copy.Path()) {}

// The members finalize (when due) and unload the library, then remove the
// copy, its settings file and its log files.
TPluginHost::~TPluginHost() = default;

const char* TPluginHost::Init(uintptr_t UserValue, bool NullCallback) {
  return Plugin.Init(NullCallback ? nullptr : &RecordingCallback, UserValue);
}

const char* TPluginHost::GetName() { return Plugin.GetName(); }

int32_t TPluginHost::Command(int32_t SessionACT, const std::string& PackedBytes) {
  return Plugin.Command(SessionACT, PackedBytes.data(), static_cast<uint32_t>(PackedBytes.size()));
}

int32_t TPluginHost::CommandRaw(int32_t SessionACT, const void* Data, uint32_t Length) {
  return Plugin.Command(SessionACT, Data, Length);
}

void TPluginHost::Finalize() { Plugin.Finalize(); }

void TPluginHost::Unload() { Plugin.Unload(); }

std::vector<TCallbackCall> TPluginHost::Calls() {
  Platform::TLockGuard Guard(Recorder().Lock);
  return Recorder().Calls;
}

bool TPluginHost::WaitForCalls(size_t Count, uint32_t TimeoutMs) {
  const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
  while (Calls().size() < Count) {
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(5);
  }
  return true;
}

void TPluginHost::ClearCalls() {
  Platform::TLockGuard Guard(Recorder().Lock);
  Recorder().Calls.clear();
}

void TPluginHost::SetInsideCallback(TInsideCallback Action, void* Context) {
  Platform::TLockGuard Guard(Recorder().Lock);
  Recorder().Inside = Action;
  Recorder().InsideContext = Context;
}

std::string TPluginHost::LogBytes() const {
  std::vector<fs::path> Files;
  std::error_code Error;
  const fs::path Logs = Platform::ToNativePath(BinaryDir() + "Logs");
  const std::string Suffix = '_' + FileName() + ".log";
  // Other test programs running beside this one make and remove their own
  // day folders under Logs: a walk that meets one vanishing is made again.
  for (int Attempt = 0; Attempt < 5 && fs::exists(Logs, Error); ++Attempt) {
    Files.clear();
    Error.clear();
    for (fs::recursive_directory_iterator It(Logs, Error), End; !Error && It != End;
         It.increment(Error)) {
      const std::string Name = It->path().filename().string();
      if (Name.size() >= Suffix.size() &&
          Name.compare(Name.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
        Files.push_back(It->path());
      }
    }
    if (!Error) break;
  }
  std::sort(Files.begin(), Files.end());
  std::string Bytes;
  for (const auto& File : Files) Bytes += ReadFileBytes(Platform::FromNativePath(File.string()));
  return Bytes;
}

std::vector<std::string> TPluginHost::LogLines() const {
  std::vector<std::string> Lines;
  const std::string Bytes = LogBytes();
  size_t Start = 0;
  for (;;) {
    const size_t End = Bytes.find("\r\n", Start);
    if (End == std::string::npos) break;
    const std::string Line = Bytes.substr(Start, End - Start);
    Lines.push_back(Line.size() >= 13 ? Line.substr(13) : Line);
    Start = End + 2;
  }
  return Lines;
}

bool TPluginHost::WaitForLogLine(const std::string& Text, bool Prefix, uint32_t TimeoutMs) const {
  const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
  for (;;) {
    for (const std::string& Line : LogLines()) {
      if (Prefix ? Line.compare(0, Text.size(), Text) == 0 : Line == Text) return true;
    }
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(10);
  }
}

std::string Packed(const std::vector<std::string>& Items) {
  std::string Bytes;
  for (const std::string& Item : Items) {
    Bytes += Item;
    Bytes += '\0';
  }
  return Bytes;
}

}  // namespace TestSupport
