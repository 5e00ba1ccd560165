// The host runner's parts as cases: each step a call and its checks.
#include "tests/support/CaseKinds.h"

#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/Thread.h"
#include "standins/host/AnswerBook.h"
#include "standins/host/AnswerWindow.h"
#include "standins/host/HostOptions.h"
#include "standins/host/Scenario.h"
#include "tests/support/CaseThreads.h"

namespace TestSupport {

namespace {

using TFields = std::map<std::string, std::string>;

std::string N(uint64_t Value) { return std::to_string(Value); }

TFields CountFields(const TAnswerBook& Book) {
  const TAnswerCounts C = Book.Counts();
  return {{"sent", N(C.Sent)}, {"expected", N(C.Expected)}, {"answered", N(C.Answered)},
          {"missing", N(C.Missing)}, {"duplicates", N(C.Duplicates)}, {"out-of-order", N(C.OutOfOrder)},
          {"bad-callbacks", N(C.BadCallbacks)}, {"latencies", N(Book.Latencies().size())}};
}

// A command's fields, and the value of each named item by its name.
TFields CommandFields(const TScenarioCommand& Command) {
  TFields Fields{{"session", std::to_string(Command.Session)}, {"line", N(Command.Line)},
                 {"count", N(Command.Params.Count())}, {"text", Command.Params.ParamsToText()}};
  for (int I = 0; I < Command.Params.Count(); ++I) {
    const std::string Name = Command.Params.Item(I).substr(0, Command.Params.Item(I).find('='));
    if (Name != Command.Params.Item(I)) Fields.emplace(Name, Command.Params.GetParam(Name));
  }
  return Fields;
}

TFields OptionFields(const THostOptions& O) {
  return {{"plugin", O.PluginPath}, {"scenario", O.ScenarioPath}, {"stop-file", O.StopFile},
          {"pause-file", O.PauseFile}, {"user-value", N(O.UserValue)}, {"timeout-ms", N(O.TimeoutMs)},
          {"repeat", N(O.Repeat)}, {"threads", N(O.Threads)}, {"sessions-per-thread", N(O.SessionsPerThread)},
          {"cycles", N(O.Cycles)}, {"in-flight", N(O.InFlight)}, {"expect", std::to_string(O.Expect)},
          {"tags", N(O.TagsUserData())}, {"quiet", N(O.Quiet)}, {"stats", N(O.Stats)}, {"help", N(O.Help)}};
}

}  // namespace

bool RunAnswerCase(const std::vector<TCaseStep>& Steps) {
  auto Book = std::make_unique<TAnswerBook>();
  std::unique_ptr<TAnswerWindow> Window;
  std::vector<TScenarioCommand> Commands;
  TCaseThread Later;
  TPlay Play = [&](const TCaseStep& Step, std::string& Why) {
    std::string Rest = Step.Rest, Wanted = TakeResult(Rest), Took;
    const size_t TookAt = (" " + Wanted).rfind(" took ");  // "... took RANGE": the step's ms
    if (TookAt != std::string::npos) Took = Wanted.substr(TookAt + 5);
    if (TookAt != std::string::npos) Wanted.resize(TookAt == 0 ? 0 : TookAt - 1);
    const std::string& Verb = Step.Verb;
    const uint64_t Start = Platform::TickCountMs();
    std::string Got;
    TFields Fields;
    if ((Verb == "take" || Verb == "give") && !Window) throw std::runtime_error("no window yet");
    if (Verb == "window")
      Window = std::make_unique<TAnswerWindow>(Number(Rest));
    else if (Verb == "take")
      Window->Take(Number(Rest));
    else if (Verb == "give")
      Window->Give();
    else if (Verb == "expect-override")  // a new book, waiting for this many answers
      Book = std::make_unique<TAnswerBook>(Signed(Rest));
    else if (Verb == "expect" || Verb == "answer") {
      const int32_t Session = Signed(TakeWord(Rest));
      if (Verb == "expect") Book->Expect(Session, DecodeBytes(Rest));
      const char* Verdicts[] = {"InOrder", "OutOfOrder", "Unmatched"};  // as TAnswerVerdict has them
      if (Verb == "answer") Got = Verdicts[static_cast<int>(Book->Answer(Session, DecodeBytes(Rest)))];
    } else if (Verb == "sent-without-answer")
      Book->SentWithoutAnswer();
    else if (Verb == "finish-sending")
      Book->FinishSending();
    else if (Verb == "wait-answers")
      Got = Flag(Book->WaitForAnswers(Number(Rest)));
    else if (Verb == "counts")
      Fields = CountFields(*Book);
    else if (Verb == "percentile") {  // percentile P of V1 V2 ...
      const std::vector<std::string> W = DecodedWords(Rest);
      if (W.size() < 2 || W[1] != "of") throw std::runtime_error("percentile P of VALUES");
      std::vector<uint32_t> Values;
      for (size_t I = 2; I < W.size(); ++I) Values.push_back(static_cast<uint32_t>(Number(W[I])));
      Got = std::to_string(Percentile(Values, std::stod(W[0])));
    } else if (Verb == "scenario" || Verb == "options") {
      std::istringstream In(DecodeBytes(Rest));
      try {
        if (Verb == "scenario") Commands = ReadScenario(In);
        if (Verb == "scenario") Got = std::to_string(Commands.size());
        if (Verb == "options") Fields = OptionFields(ParseHostOptions(DecodedWords(Rest)));
      } catch (const std::runtime_error& Error) {  // a refused command line: EHostUsage
        if (Verb == "options" && dynamic_cast<const EHostUsage*>(&Error) == nullptr) throw;
        Got = std::string("error ") + Error.what();
      }
    } else if (Verb == "command")
      Fields = CommandFields(Commands.at(Number(Rest)));
    else if (Verb == "later")  // later MS STEP: the result is the step's
      return Why = "a later step still runs, or no thread", Later.StartLater(Step, Play);
    else if (Verb == "join" && Later.Running()) {  // join MS => 1: the later step ended within MS, and held
      Got = Flag(Later.EndedWithin(Number(Rest)));
      if (Got == "1" && !Later.Join()) return Why = "the later step failed", false;
    } else
      throw std::runtime_error("unknown step " + Verb + " " + Rest);
    const uint64_t Ms = Platform::TickCountMs() - Start;
    if (!Took.empty() && !TookCheck(Ms, Took, Why)) return Why = Verb + " " + Why, false;
    if (!Fields.empty()) {  // the fields named, in their order: "NAME=VALUE ..."
      Got.clear();
      for (std::string Asked = Wanted, Word = TakeWord(Asked); !Word.empty(); Word = TakeWord(Asked)) {
        const auto Found = Fields.find(Word.substr(0, Word.find('=')));
        Got += Got.empty() ? "" : " ";
        Got += Found == Fields.end() ? "no " + Word : Found->first + "=" + Found->second;
      }
    }
    return Wanted.empty() || ResultCheck(Verb, Got, Wanted, Why);
  };
  const bool Passed = PlaySteps(Steps, Play);
  return Later.Join() && Passed;  // before what its step uses goes; it must have held
}

}  // namespace TestSupport
