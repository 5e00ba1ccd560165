// The plug-in loader shared by the tests, the benchmarks and the fuzz
// targets: private copies of the built library and their entry points.
#include "tests/support/PluginLibrary.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/Files.h"
#include "tests/support/RequiredEntry.h"

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

fs::path Native(const std::string& Path) { return fs::path(Platform::ToNativePath(Path)); }

std::string ChangeExtension(const std::string& Path, const std::string& Extension) {
  const size_t Dot = Path.rfind('.');
  const size_t Delimiter = Path.find_last_of("\\:");
  if (Dot == std::string::npos || (Delimiter != std::string::npos && Dot < Delimiter)) {
    return Path + Extension;
  }
  return Path.substr(0, Dot) + Extension;
}

}  // namespace

std::string BuiltPluginPath(std::initializer_list<std::string> Folders) {
  // The library target is Velmora.dll on Windows and Velmora.so natively.
  std::error_code Error;
  for (const std::string& Folder : Folders) {
    for (const char* Name : {"Velmora.dll", "Velmora.so"}) {
      if (fs::exists(Native(Folder + Name), Error)) return Folder + Name;
    }
  }
  throw std::runtime_error("the built plug-in library is not beside the program");
}

TPluginCopy::TPluginCopy(const std::string& Source, const std::string& Path,
                         const std::string& SettingsText)
    : CopyPath(Path) {
  // MinGW's copy_file does not overwrite even when asked to: a copy left by
  // an interrupted run goes first.
  std::error_code Ignored;
  fs::remove(Native(CopyPath), Ignored);
  fs::copy_file(Native(Source), Native(CopyPath), fs::copy_options::overwrite_existing);
  if (!SettingsText.empty()) {
    std::ofstream Out(Native(SettingsPath()), std::ios::binary | std::ios::trunc);
    Out.write(SettingsText.data(), static_cast<std::streamsize>(SettingsText.size()));
  }
}

TPluginCopy::~TPluginCopy() {
  std::error_code Error;
  fs::remove(Native(CopyPath), Error);
  fs::remove(Native(SettingsPath()), Error);
  // The plug-in writes its log beside the host executable, in files named
  // after the plug-in's own file name.
  const fs::path Logs = Native(Platform::DirectoryPart(Platform::HostExePath(1024)) + "Logs");
  const std::string Name = FileName();
  for (fs::recursive_directory_iterator It(Logs, Error), End; !Error && It != End;
       It.increment(Error)) {
    if (It->path().filename().string().find(Name) != std::string::npos) {
      fs::remove(It->path(), Error);
    }
  }
}

std::string TPluginCopy::FileName() const { return Platform::FileNamePart(CopyPath); }

std::string TPluginCopy::SettingsPath() const { return ChangeExtension(CopyPath, ".ini"); }

TPluginLibrary::TPluginLibrary(const std::string& Path) {
  Library = Platform::LoadLibraryByName(Path);
  if (Library == nullptr) throw std::runtime_error("cannot load " + Path);
  try {
    InitEntry = RequiredEntry<decltype(InitEntry)>(Library, "Init_Plugin", "plug-in");
    NameEntry = RequiredEntry<decltype(NameEntry)>(Library, "GetName_Plugin", "plug-in");
    CommandEntry = RequiredEntry<decltype(CommandEntry)>(Library, "Command_Plugin", "plug-in");
    FinalizeEntry = RequiredEntry<decltype(FinalizeEntry)>(Library, "Finalize_Plugin", "plug-in");
  } catch (...) {
    Unload();
    throw;
  }
}

TPluginLibrary::~TPluginLibrary() {
  if (Initialized && Library != nullptr) Finalize();
  Unload();
}

const char* TPluginLibrary::Init(TScenarioCallback Callback, uintptr_t UserValue) {
  const char* Name = nullptr;
  InitEntry(&Name, Callback, UserValue);
  Initialized = true;
  return Name;
}

const char* TPluginLibrary::GetName() const {
  const char* Name = nullptr;
  NameEntry(&Name);
  return Name;
}

void TPluginLibrary::Finalize() {
  FinalizeEntry();
  Initialized = false;
}

void TPluginLibrary::Unload() {
  if (Library != nullptr) Platform::UnloadLibrary(Library);
  Library = nullptr;
}

}  // namespace TestSupport
