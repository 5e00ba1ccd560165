// The check's steps: load, name, settings file, transport, connection,
// optional command, finalisation, and the plug-in's log lines of this run,
// read back from the hourly file(s) the plug-in wrote them to.
#include "check/CheckRun.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "check/PluginBinding.h"
#include "log/DateTimePattern.h"
#include "log/ProcessLog.h"
#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Profile.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"

namespace {

void Say(const std::string& Line) {
  std::fputs((Line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// The answer the plug-in hands back through the callback (one command).
Platform::TCriticalSection AnswerLock;
std::string AnswerText;  // guarded by AnswerLock
bool Answered = false;   // guarded by AnswerLock

void VELMORA_STDCALL TakeAnswer(int32_t, const char*, const void* Data, int32_t Length, uintptr_t) {
  try {
    TParamList List;
    UnpackParams(List, Data, Length);
    Platform::TLockGuard Guard(AnswerLock);
    AnswerText = List.ParamsToText();
    Answered = true;
  } catch (...) {
    // Nothing may leave a callback into the plug-in; the step reports no answer.
  }
}

bool TakenAnswer(std::string& Text) {
  Platform::TLockGuard Guard(AnswerLock);
  Text = AnswerText;
  return Answered;
}

// The plug-in's log lines written since the run began: the hourly files of
// the hours it spans, each read from where it ended at the start.
class TRunLog {
public:
  TRunLog(const std::string& PluginPath)
      : Pattern(ProcessLogPattern(Platform::DirectoryPart(Platform::HostExePath()),
                                  Platform::FileNamePart(PluginPath))),
        Start(Platform::LocalNow()),
        StartFile(FileAt(Start)),
        StartSize(ReadAll(StartFile).size()) {}

  std::string FileAt(const Platform::TDateTime& Time) const {
    return ExpandDateTimePattern(Pattern, Time, Platform::TimeSeparator());
  }
  std::vector<std::string> Lines() const {
    std::string Bytes = ReadAll(StartFile);
    Bytes.erase(0, std::min(StartSize, Bytes.size()));
    const std::string Now = FileAt(Platform::LocalNow());
    if (Now != StartFile) Bytes += ReadAll(Now);
    std::vector<std::string> Result;
    std::istringstream Stream(Bytes);
    for (std::string Line; std::getline(Stream, Line);) {
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Result.push_back(Line);
    }
    return Result;
  }
  // The text (after the time stamp) of the last line of this run whose text
  // starts with Prefix; empty when there is none.
  std::string Last(const std::string& Prefix) const {
    const std::vector<std::string> All = Lines();
    for (auto Line = All.rbegin(); Line != All.rend(); ++Line) {
      if (Line->size() > 13 && Line->compare(13, Prefix.size(), Prefix) == 0) return Line->substr(13);
    }
    return std::string();
  }
  // Waits at most Milliseconds for a line starting with Prefix.
  std::string WaitFor(const std::string& Prefix, uint32_t Milliseconds) const {
    const uint64_t Deadline = Platform::TickCountMs() + Milliseconds;
    for (;;) {
      const std::string Found = Last(Prefix);
      if (!Found.empty() || Platform::TickCountMs() >= Deadline) return Found;
      Platform::SleepMs(50);
    }
  }

private:
  static std::string ReadAll(const std::string& Path) {
    std::ifstream File(Platform::ToNativePath(Path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  }
  const std::string Pattern;
  const Platform::TDateTime Start;
  const std::string StartFile;
  const size_t StartSize;
};

std::string SettingsPathOf(const std::string& PluginPath) {
  const size_t Dot = PluginPath.rfind('.');
  const size_t Dir = PluginPath.find_last_of("\\:");
  if (Dot == std::string::npos || (Dir != std::string::npos && Dot < Dir)) return PluginPath + ".ini";
  return PluginPath.substr(0, Dot) + ".ini";
}

// The report: OK or FAILED lines; the first failure decides the exit code.
class TReport {
public:
  void Ok(const std::string& Step, const std::string& Text) { Say("OK      " + Step + ": " + Text); }
  void Failed(int Code, const std::string& Step, const std::string& Text) {
    Say("FAILED  " + Step + ": " + Text);
    if (Exit == CheckExitOk) Exit = Code;
  }
  int Exit = CheckExitOk;
};

void CheckSettings(TReport& Report, const std::string& Path, bool ExistedBefore, const TRunLog& Log) {
  if (!Platform::ProfileKeyExists(Path, "Server", "FSServerAddr") ||
      !Platform::ProfileKeyExists(Path, "Server", "FSServerPort")) {
    const std::string Why = Log.Last("ERR: Settings write fail: ");
    Report.Failed(CheckExitSettings, "settings",
                  Platform::ToNativePath(Path) + (ExistedBefore ? " lacks a key" : " missing") + " and the plug-in could not write it" +
                      (Why.empty() ? std::string() : ": " + Why));
    return;
  }
  Report.Ok("settings", Platform::ToNativePath(Path) + (ExistedBefore ? " found" : " created by the plug-in") +
                            ": FSServerAddr=" + Platform::ReadProfileString(Path, "Server", "FSServerAddr", "") +
                            ", FSServerPort=" + Platform::ReadProfileString(Path, "Server", "FSServerPort", ""));
}

void SendCommand(TReport& Report, const TPluginBinding& Plugin, const TCheckOptions& Options,
                 const TRunLog& Log) {
  TParamList List;
  List.ParamsFromText(Options.Command);
  std::string Packed(PackedSize(List), '\0');
  size_t Count = 0;
  PackParams(List, Packed.data(), Packed.size(), Count);
  Plugin.Command(1, Packed.data(), static_cast<uint32_t>(Count));
  const uint64_t Deadline = Platform::TickCountMs() + Options.WaitSeconds * 1000u;
  std::string Answer;
  while (!TakenAnswer(Answer) && Platform::TickCountMs() < Deadline) Platform::SleepMs(20);
  if (TakenAnswer(Answer)) {
    Report.Ok("command", "answer " + Answer);
    return;
  }
  const std::string Why = Log.Last("ProcessCommand [SessionACT=1] EXCEPTION: ");
  Report.Failed(CheckExitCommand, "command",
                "no answer within " + std::to_string(Options.WaitSeconds) + " s" +
                    (Why.empty() ? std::string() : ": " + Why));
}

}  // namespace

bool ParseCheckOptions(const std::vector<std::string>& Arguments, TCheckOptions& Options,
                       std::string& Error) {
  for (size_t I = 0; I < Arguments.size(); ++I) {
    const std::string& Argument = Arguments[I];
    const bool HasValue = I + 1 < Arguments.size();
    if (Argument == "--help") {
      Options.Help = true;
    } else if (Argument == "--command" && HasValue) {
      Options.Command = Arguments[++I];
    } else if (Argument == "--wait" && HasValue) {
      const std::string& Value = Arguments[++I];
      if (Value.empty() || Value.size() > 4 || Value.find_first_not_of("0123456789") != std::string::npos) {
        Error = "--wait takes a number of seconds (0 to 9999)";
        return false;
      }
      Options.WaitSeconds = static_cast<uint32_t>(std::stoul(Value));
    } else if (!Argument.empty() && Argument[0] != '-' && Options.PluginPath.empty()) {
      Options.PluginPath = Argument;
    } else {
      Error = "cannot use the argument \"" + Argument + "\"";
      return false;
    }
  }
  return true;
}

std::string CheckUsageText() {
  return "usage: velmora-check [path\\to\\Velmora.dll] [--command \"Name=Value,...\"] [--wait SECONDS]\n"
         "Run it from the host program's folder (where the host's .exe and the transport library\n"
         "are): it loads the plug-in as the host does and checks each step. Exit code: 0 all OK,\n"
         "1 usage, 2 plug-in, 3 settings file, 4 transport library, 5 connection, 6 command.\n";
}

int RunCheck(const TCheckOptions& Options) {
  // A bare name is the file beside the tool, where a host's load looks first;
  // the settings file is then read there too (a bare settings-file name would
  // be looked for in the Windows folder).
  std::string Path = Options.PluginPath.empty() ? "Velmora.dll" : Platform::FromNativePath(Options.PluginPath);
  if (Platform::DirectoryPart(Path).empty()) Path = Platform::DirectoryPart(Platform::HostExePath()) + Path;
  const std::string Settings = SettingsPathOf(Path);
  const bool SettingsExisted = Platform::ProfileKeyExists(Settings, "Server", "FSServerAddr") ||
                               Platform::ProfileKeyExists(Settings, "Server", "FSServerPort");
  const TRunLog Log(Path);
  TReport Report;
  Say("velmora-check: " + Platform::ToNativePath(Path));
  std::unique_ptr<TPluginBinding> Plugin;
  try {
    Plugin = std::make_unique<TPluginBinding>(Path);
  } catch (const EPluginLoad& Failure) {
    Report.Failed(CheckExitPlugin, "plug-in", Failure.what());
    return Report.Exit;
  }
  const char* Name = nullptr;
  Plugin->GetName(&Name);
  Report.Ok("plug-in", std::string("loaded, four entry points, name \"") + (Name != nullptr ? Name : "") + "\"");
  Plugin->Init(&Name, &TakeAnswer, 0);
  CheckSettings(Report, Settings, SettingsExisted, Log);
  const std::string NoTransport = Log.Last("ERR: FS Client initialization fail: ");
  if (NoTransport.empty()) {
    Report.Ok("transport", "cl_vexo_transport.dll loaded and complete");
    const std::string Connected = Log.WaitFor("FS Client connected to FileServer", Options.WaitSeconds * 1000u);
    if (!Connected.empty()) {
      Report.Ok("connection", "FS Client connected to FileServer");
    } else {
      const std::string Why = Log.Last("FSClient Error ");
      Report.Failed(CheckExitConnection, "connection",
                    "no connection within " + std::to_string(Options.WaitSeconds) + " s" +
                        (Why.empty() ? std::string() : ": " + Why));
    }
  } else {
    Report.Failed(CheckExitTransport, "transport", NoTransport);
  }
  if (!Options.Command.empty()) SendCommand(Report, *Plugin, Options, Log);
  Plugin->Finalize();
  Plugin.reset();
  Report.Ok("finalize", "Finalize_Plugin returned, the plug-in unloaded");
  Say("log: the plug-in's lines of this run (" + Platform::ToNativePath(Log.FileAt(Platform::LocalNow())) + "):");
  for (const std::string& Line : Log.Lines()) Say("  " + Line);
  return Report.Exit;
}
