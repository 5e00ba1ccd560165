// The process log object, its start-up and shut-down, and the call Log.
#include "log/ProcessLog.h"

#include <atomic>
#include <cstring>

#include "log/UniLog.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Profile.h"

namespace {

// Written only at library load and unload time, when no other thread of the
// plug-in runs; read by Log on any thread. Constant-initialised, so it is
// valid before any static constructor runs.
std::atomic<tUniLog*> ProcessLog{nullptr};

// True when Text holds a CR, LF or zero byte. Three vectorised scans of the
// C library beat one byte-by-byte loop (and a find_first_of, which searches
// the set of three once per byte) on the lines the relay writes.
bool HoldsLineBreak(const std::string& Text) {
  const char* const Bytes = Text.c_str();
  const size_t Size = Text.size();
  return std::memchr(Bytes, '\n', Size) != nullptr || std::memchr(Bytes, '\r', Size) != nullptr ||
         std::strlen(Bytes) != Size;
}

// Text with CR, LF and zero bytes written as \r, \n and \0.
std::string EscapeLineBreaks(const std::string& Text) {
  std::string Result;
  Result.reserve(Text.size() + 8);
  for (const char C : Text) {
    switch (C) {
      case '\r': Result += "\\r"; break;
      case '\n': Result += "\\n"; break;
      case '\0': Result += "\\0"; break;
      default: Result += C;
    }
  }
  return Result;
}

}  // namespace

bool Log(const std::string& Text) {
  tUniLog* const Target = ProcessLog.load(std::memory_order_acquire);
  if (Target == nullptr) return false;
  try {
    if (!HoldsLineBreak(Text)) {
      Target->Write(Text);
    } else {
      Target->Write(EscapeLineBreaks(Text));
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool Log(const char* Text) noexcept {
  if (Text == nullptr || ProcessLog.load(std::memory_order_acquire) == nullptr) return false;
  try {
    return Log(std::string(Text));
  } catch (...) {
    return false;
  }
}

std::string OwnModulePath() { return Platform::OwnModulePath(1024); }

std::string HostSettingsPath(const std::string& HostExePath) {
  const size_t Dot = HostExePath.find_last_of('.');
  const size_t Delimiter = HostExePath.find_last_of("\\:");
  if (Dot != std::string::npos && (Delimiter == std::string::npos || Dot > Delimiter)) {
    return HostExePath.substr(0, Dot) + ".ini";
  }
  return HostExePath + ".ini";
}

std::string ReadLogServerSetting() {
  return Platform::ReadProfileString(HostSettingsPath(Platform::HostExePath(261)), "Debug",
                                     PluginFileName(), "");
}

std::string ProcessLogPattern(const std::string& HostDirectory,
                              const std::string& PluginFileName) {
  // "%sLogs\"YYYY"_"MM"_"DD"\"HH"_%s.log" with the host directory and the
  // plug-in file name in place of the two %s: both end up inside quotes.
  return "\"" + HostDirectory + "Logs\\\"YYYY\"_\"MM\"_\"DD\"\\\"HH\"_" + PluginFileName +
         ".log\"";
}

void CreateProcessLog(const std::string& Pattern, const std::string& LogServerSetting) {
  if (ProcessLog.load(std::memory_order_acquire) != nullptr) return;
  ProcessLog.store(new tUniLog(Pattern, LogServerSetting), std::memory_order_release);
}

void InitProcessLog() {
  if (ProcessLog.load(std::memory_order_acquire) != nullptr) return;
  try {
    const std::string HostExePath = Platform::HostExePath(261);
    SetProcessNames(Platform::FileNamePart(HostExePath), Platform::FileNamePart(OwnModulePath()));
    if (PluginFileName().empty()) return;
    CreateProcessLog(ProcessLogPattern(Platform::DirectoryPart(HostExePath), PluginFileName()),
                     ReadLogServerSetting());
  } catch (...) {
    // No log, and nobody to tell: the plug-in runs without one.
  }
}

void DoneProcessLog() {
  tUniLog* const Target = ProcessLog.exchange(nullptr, std::memory_order_acq_rel);
  try {
    delete Target;
  } catch (...) {
  }
}
