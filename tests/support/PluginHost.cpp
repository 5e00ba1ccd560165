// The test host: private plug-in copies, the recording callback, log reads.
#include "tests/support/PluginHost.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>

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

std::string ChangeExtension(const std::string& Path, const std::string& Extension) {
  const size_t Dot = Path.rfind('.');
  const size_t Delimiter = Path.find_last_of("\\:");
  if (Dot == std::string::npos || (Delimiter != std::string::npos && Dot < Delimiter)) {
    return Path + Extension;
  }
  return Path.substr(0, Dot) + Extension;
}

std::string BuiltPluginPath() {
  // The library target is Velmora.dll on Windows and Velmora.so natively.
  // Suites that need a folder of their own run one level below bin.
  for (const char* Folder : {"", "..\\"}) {
    for (const char* Name : {"Velmora.dll", "Velmora.so"}) {
      const std::string Candidate = BinaryDir() + Folder + Name;
      if (FileExists(Candidate)) return Candidate;
    }
  }
  throw std::runtime_error("the built plug-in library is not beside the test program");
}

template <typename T>
T Entry(Platform::TLibrary Library, const char* Name) {
  void* Address = Platform::GetLibraryProc(Library, Name);
  if (Address == nullptr) throw std::runtime_error(std::string("plug-in lacks ") + Name);
  return reinterpret_cast<T>(Address);
}

}  // namespace

TPluginHost::TPluginHost(const std::string& SettingsText) {
  const std::string Source = BuiltPluginPath();
  const std::string Directory = BinaryDir() + "plugin-copies\\";
  fs::create_directories(Platform::ToNativePath(Directory));
  std::random_device Random;
  const std::string Extension = Source.substr(Source.rfind('.'));
  Path = Directory + "Velmora_" + std::to_string(Random()) + "_" +
         std::to_string(Platform::CurrentThreadId()) + Extension;
  fs::copy_file(Platform::ToNativePath(Source), Platform::ToNativePath(Path),
                fs::copy_options::overwrite_existing);
  if (!SettingsText.empty()) WriteFileBytes(SettingsPath(), SettingsText);
  Library = Platform::LoadLibraryByName(Path);
  if (Library == nullptr) throw std::runtime_error("cannot load " + Path);
  InitEntry = Entry<decltype(InitEntry)>(Library, "Init_Plugin");
  NameEntry = Entry<decltype(NameEntry)>(Library, "GetName_Plugin");
  CommandEntry = Entry<decltype(CommandEntry)>(Library, "Command_Plugin");
  FinalizeEntry = Entry<decltype(FinalizeEntry)>(Library, "Finalize_Plugin");
}

TPluginHost::~TPluginHost() {
  if (Initialized && Library != nullptr) Finalize();
  Unload();
  std::error_code Error;
  fs::remove(Platform::ToNativePath(Path), Error);
  fs::remove(Platform::ToNativePath(SettingsPath()), Error);
  const fs::path Logs = Platform::ToNativePath(BinaryDir() + "Logs");
  if (fs::exists(Logs, Error)) {
    for (const auto& Entry : fs::recursive_directory_iterator(Logs, Error)) {
      if (Entry.path().filename().string().find(FileName()) != std::string::npos) {
        fs::remove(Entry.path(), Error);
      }
    }
  }
}

std::string TPluginHost::SettingsPath() const { return ChangeExtension(Path, ".ini"); }
std::string TPluginHost::FileName() const { return Platform::FileNamePart(Path); }

const char* TPluginHost::Init(uintptr_t UserValue, bool NullCallback) {
  const char* Name = nullptr;
  InitEntry(&Name, NullCallback ? nullptr : &RecordingCallback, UserValue);
  Initialized = true;
  return Name;
}

const char* TPluginHost::GetName() {
  const char* Name = nullptr;
  NameEntry(&Name);
  return Name;
}

int32_t TPluginHost::Command(int32_t SessionACT, const std::string& PackedBytes) {
  return CommandEntry(SessionACT, PackedBytes.data(), static_cast<uint32_t>(PackedBytes.size()));
}

int32_t TPluginHost::CommandRaw(int32_t SessionACT, const void* Data, uint32_t Length) {
  return CommandEntry(SessionACT, Data, Length);
}

void TPluginHost::Finalize() {
  FinalizeEntry();
  Initialized = false;
}

void TPluginHost::Unload() {
  if (Library != nullptr) Platform::UnloadLibrary(Library);
  Library = nullptr;
}

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
  if (fs::exists(Logs, Error)) {
    for (const auto& Entry : fs::recursive_directory_iterator(Logs, Error)) {
      const std::string Name = Entry.path().filename().string();
      if (Name.size() >= Suffix.size() &&
          Name.compare(Name.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
        Files.push_back(Entry.path());
      }
    }
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

std::vector<std::string> Unpacked(const std::string& Bytes) {
  std::vector<std::string> Items;
  size_t Start = 0;
  while (Start < Bytes.size()) {
    size_t End = Bytes.find('\0', Start);
    if (End == std::string::npos) End = Bytes.size();
    Items.push_back(Bytes.substr(Start, End - Start));
    Start = End + 1;
  }
  return Items;
}

}  // namespace TestSupport
