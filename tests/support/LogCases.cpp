// Log cases: the file logs, the process log and the seam's clock, each step
// checked as it comes.
#include "tests/support/CaseKinds.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "log/UniLog.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

namespace {

namespace Seam = Platform::FaultSeam;
namespace fs = std::filesystem;

std::string InstantText(const Platform::TDateTime& T) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", T.Year, T.Month, T.Day, T.Hour,
                T.Minute, T.Second, T.Millisecond);
  return Text;
}

// "YYYY-MM-DD HH:NN:SS.ZZZ", taken off the front of Rest.
Platform::TDateTime TakeInstant(std::string& Rest) {
  const std::string Date = TakeWord(Rest), Text = Date + " " + TakeWord(Rest);
  const Platform::TDateTime Instant = LogTestSupport::At(Text);
  if (InstantText(Instant) != Text) throw std::runtime_error("not an instant: " + Text);
  return Instant;
}

// The file's bytes, each stamp in the ':' form the cases write it in (the
// system's time separator may be another text).
std::string FileText(const std::string& Path) {
  std::string Bytes = ReadFileBytes(Path);
  const std::string Sep = Platform::TimeSeparator();
  for (size_t At = 0; Sep != ":" && At < Bytes.size();) {
    if (LogTestSupport::HasStamp(Bytes.substr(At, 11 + 2 * Sep.size())))
      Bytes.replace(At + 4 + Sep.size(), Sep.size(), ":").replace(At + 2, Sep.size(), ":");
    const size_t End = Bytes.find("\r\n", At);
    At = End == std::string::npos ? Bytes.size() : End + 2;
  }
  return Bytes;
}

// Every file under Dir, relative and in Windows form, sorted, blank-separated.
std::string FilesUnder(const std::string& Dir) {
  std::vector<std::string> Names;
  const fs::path Root = Platform::ToNativePath(Dir);
  for (const auto& Entry : fs::recursive_directory_iterator(Root)) {
    if (Entry.is_regular_file())
      Names.push_back(Platform::FromNativePath(fs::relative(Entry.path(), Root).string()));
  }
  std::sort(Names.begin(), Names.end());
  std::string Text;
  for (const std::string& Name : Names) Text += (Text.empty() ? "" : " ") + Name;
  return Text;
}

// %DIR% (the case's folder), %BIN% (the build's bin folder) and %PROCESS%
// (the process log's pattern in the folder, for "Velmora.dll"), escaped.
std::string Expanded(std::string Text, const std::string& Dir) {
  Text = Replaced(Text, "%DIR%", EscapeBytes(Dir));
  Text = Replaced(Text, "%BIN%", EscapeBytes(BinaryDir()));
  return Replaced(Text, "%PROCESS%", EscapeBytes(ProcessLogPattern(Dir, "Velmora.dll")));
}

// What Call gives, or the runtime error it raises, as a step's result.
std::string Outcome(const std::function<std::string()>& Call) {
  try {
    return Call();
  } catch (const EInOutError& Error) {
    return std::string("raises EInOutError ") + Error.what();
  } catch (const std::runtime_error& Error) {
    return std::string("raises runtime_error ") + Error.what();
  }
}

}  // namespace

bool RunLogCase(const std::vector<TCaseStep>& Steps) {
  TScratchDir Dir;
  const fs::path Earlier = fs::current_path();
  fs::current_path(Platform::ToNativePath(Dir.Path()));  // a relative name lands in the folder
  Seam::Reset();
  std::vector<std::unique_ptr<tFileLog>> Logs;
  tFileLog* Current = nullptr;
  Platform::TFile Held = Platform::InvalidFile;
  // The steps that act on the log objects: their result, the empty text for none.
  const auto Act = [&](const std::string& Verb, const std::string& Rest) -> std::string {
    const std::vector<std::string> F = SplitFields(Rest);
    const std::string Text = DecodeBytes(Rest);
    if (Verb == "write") return Flag(Current->Write(Text));
    if (Verb == "write-raw") return Flag(Current->WriteRaw(Text));
    if (Verb == "write-tagged") return Flag(Current->WriteTagged(F.at(1), F[0]));
    if (Verb == "write-raw-tagged") return Flag(Current->WriteRawTagged(F.at(1), F[0]));
    if (Verb == "name") return Current->GetFileName();
    if (Verb == "client-loaded") return Flag(dynamic_cast<tUniLog&>(*Current).ClientLoaded());
    if (Verb != "process") throw std::runtime_error("unknown step " + Verb);
    std::string Words = Rest;
    const std::string What = TakeWord(Words);
    const std::vector<std::string> G = SplitFields(Words);
    if (What == "log") return Flag(Log(DecodeBytes(Words)));
    if (What == "log-c") return Flag(Log(DecodeBytes(Words).c_str()));
    if (What == "plugin-name") return PluginFileName();
    if (What == "create") CreateProcessLog(G[0], G.at(1));
    if (What == "init") InitProcessLog();
    if (What == "done") DoneProcessLog();
    if (What != "create" && What != "init" && What != "done") throw std::runtime_error("unknown step " + What);
    return "";
  };
  const bool Passed = PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    std::string Rest = Expanded(Step.Rest, Dir.Path());
    const std::string Wanted = TakeResult(Rest), Verb = Step.Verb;
    std::string Got;
    if (Verb == "log") {  // log file PATH | hourly PATTERN | uni PATTERN|SETTING[|CLIENT]
      const std::string What = TakeWord(Rest);
      const std::vector<std::string> F = SplitFields(Rest);
      if (What == "file") Logs.push_back(std::make_unique<tFileLog>(Rest.empty() ? "" : Dir.Path() + F[0]));
      if (What == "hourly") Logs.push_back(std::make_unique<tTimeSeparatedFileLog>(F[0]));
      if (What == "uni")
        Logs.push_back(std::make_unique<tUniLog>(F[0], F.at(1), F.size() > 2 ? F[2] : "LogClient.dll"));
      if (What != "file" && What != "hourly" && What != "uni") throw std::runtime_error("unknown log " + What);
      Current = Logs.back().get();
    } else if (Verb == "use") {
      Current = Logs.at(Number(Rest) - 1).get();
    } else if (Verb == "close") {  // the current log ends
      for (auto& Each : Logs)
        if (Each.get() == Current) Each.reset();
      Current = nullptr;
    } else if (Verb == "clock") {  // clock DATE TIME [STEP]: fixed, STEP ms further at each reading
      const Platform::TDateTime Instant = TakeInstant(Rest);
      Seam::SetClockFixed(Instant, Rest.empty() ? 0 : static_cast<uint32_t>(Number(Rest)));
    } else if (Verb == "add-ms") {
      const Platform::TDateTime Instant = TakeInstant(Rest);
      Got = InstantText(Seam::AddMilliseconds(Instant, Signed(Rest)));
    } else if (Verb == "settings-path") {
      Got = HostSettingsPath(DecodeBytes(Rest));
    } else if (Verb == "file") {  // file PATH BYTES, its folders made
      const std::string Path = Dir.Path() + DecodeBytes(TakeWord(Rest));
      fs::create_directories(fs::path(Platform::ToNativePath(Path)).parent_path());
      WriteFileBytes(Path, DecodeBytes(Rest));
    } else if (Verb == "remove") {
      RemoveTree(Dir.Path() + DecodeBytes(Rest));
    } else if (Verb == "hold") {  // another writer opens the file
      Held = Platform::OpenForAppend(Dir.Path() + DecodeBytes(Rest));
      Got = Flag(Held != Platform::InvalidFile);
    } else if (Verb == "release") {
      Platform::CloseFile(Held);
      Held = Platform::InvalidFile;
    } else if (Verb == "expect") {
      const std::string What = TakeWord(Rest);
      if (What == "files") return TextExpect("the files", "is " + Rest, FilesUnder(Dir.Path()), Why);
      const std::string Path = Dir.Path() + DecodeBytes(TakeWord(Rest));
      Why = EscapeBytes(Path) + (What == "missing" ? " exists" : " is no folder");
      if (What == "missing") return !FileExists(Path);
      if (What == "folder") return Platform::DirectoryExists(Path);
      if (What != "file") throw std::runtime_error("unknown expectation " + What);
      return TextExpect("file", Rest, FileText(Path), Why);
    } else if (Verb == "on-thread") {  // the step on a thread of its own
      const std::string Inner = TakeWord(Rest);
      LogTestSupport::RunOnThreads(1, [&](int) { Got = Outcome([&] { return Act(Inner, Rest); }); });
    } else {
      Got = Outcome([&] { return Act(Verb, Rest); });
    }
    return ResultCheck(Verb, Got, Wanted, Why);
  });
  if (Held != Platform::InvalidFile) Platform::CloseFile(Held);
  Logs.clear();
  DoneProcessLog();
  Seam::Reset();
  fs::current_path(Earlier);
  return Passed;
}

}  // namespace TestSupport
