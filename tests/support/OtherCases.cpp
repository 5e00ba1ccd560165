// Host-run and profile-file cases: each step a call and its checks.
#include "tests/support/CaseKinds.h"

#include <sstream>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Thread.h"
#include "standins/host/HostRunner.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

namespace {

// Collects the runner's lines; the plug-in's worker thread writes too.
struct TCapture : THostOutput {
  void Line(const std::string& Text) override { Out.Add(Text); }
  void ErrorLine(const std::string& Text) override { Err.Add(Text); }
  TSharedLines Out, Err;
};

}  // namespace

bool RunHostCase(const std::vector<TCaseStep>& Steps) {
  TScratchDir Dir;
  std::string Plugin = "FakePlugin.dll", Scenario;
  int Exit = -1;
  uint64_t Took = 0;
  TCapture Output;
  return PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    std::string Rest = Step.Rest;
    if (Step.Verb == "plugin")
      Plugin = Rest;
    else if (Step.Verb == "scenario")
      Scenario = DecodeBytes(Rest);
    else if (Step.Verb == "file") {
      const std::string Name = TakeWord(Rest);
      WriteFileBytes(Dir.Path() + Name, DecodeBytes(Rest));
    } else if (Step.Verb == "run") {  // run ARGUMENTS: the plug-in's path goes first
      std::vector<std::string> Arguments{Platform::ToNativePath(BinaryDir() + Plugin)};
      const std::string Scratch =
          Platform::ToNativePath(Dir.Path());  // %SCRATCH%: the case's folder
      for (const std::string& Argument : DecodedWords(Rest))
        Arguments.push_back(Replaced(Argument, "%SCRATCH%", Scratch));
      std::istringstream In(Scenario);
      Output.Out.Text("", true);
      Output.Err.Text("", true);
      const uint64_t Start = Platform::TickCountMs();
      Exit = RunHost(Arguments, Output, In);
      Took = Platform::TickCountMs() - Start;
    } else if (Step.Verb == "expect") {
      const std::string What = TakeWord(Rest);
      if (What == "exit") Why = "exit " + std::to_string(Exit);
      if (What == "exit") return Exit == Signed(Rest);
      if (What == "took") return TookCheck(Took, Rest, Why);
      if (What != "out" && What != "err") throw std::runtime_error("unknown expectation " + What);
      return TextExpect(What, Rest, (What == "out" ? Output.Out : Output.Err).Text(), Why);
    } else {
      throw std::runtime_error("unknown step " + Step.Verb);
    }
    return true;
  });
}

bool RunProfileCase(const std::vector<TCaseStep>& Steps) {
  TScratchDir Dir;
  const std::string File = Dir.Path() + "Velmora.ini";
  return PlaySteps(Steps, [&](const TCaseStep& Step, std::string& Why) {
    std::string Rest = Step.Rest;
    const std::string Wanted = TakeResult(Rest);
    std::string Got;
    if (Step.Verb == "file") {
      WriteFileBytes(File, DecodeBytes(Rest));
      return true;
    }
    const std::vector<std::string> F =
        Step.Verb == "expect" ? std::vector<std::string>() : SplitFields(Rest);
    if (Step.Verb == "read" && F.size() == 3)
      Got = Platform::ReadProfileString(File, F[0], F[1], F[2]);
    else if (Step.Verb == "exists" && F.size() == 2)
      Got = Flag(Platform::ProfileKeyExists(File, F[0], F[1]));
    else if (Step.Verb == "write" && F.size() == 3)
      Got = Flag(Platform::WriteProfileString(File, F[0], F[1], F[2]));
    else if (Step.Verb == "write-in" &&
             F.size() == 4) {  // write-in PATH|SECTION|KEY|VALUE, PATH in the folder
      Platform::SetLastError(0);
      Got = Flag(Platform::WriteProfileString(Dir.Path() + F[0], F[1], F[2], F[3]));
      Got += " error " + std::to_string(Platform::LastError());
    } else if (Step.Verb == "expect") {
      const std::string What = TakeWord(Rest);
      if (What == "folder-missing")
        return !Platform::DirectoryExists(Dir.Path() + DecodeBytes(Rest));
      if (What != "file") throw std::runtime_error("unknown expectation " + What);
      return TextExpect("file", Rest, ReadFileBytes(File), Why);
    } else {
      throw std::runtime_error("bad step " + Step.Verb + " " + Rest);
    }
    return ResultCheck(Step.Verb, Got, Wanted, Why);
  });
}

}  // namespace TestSupport
