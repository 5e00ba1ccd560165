// The host runner's parts as cases: each step a call and its checks.
#include "tests/support/AnswerCases.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/Thread.h"
#include "standins/host/AnswerBook.h"
#include "standins/host/AnswerWindow.h"
#include "standins/host/HostOptions.h"
#include "standins/host/Scenario.h"

namespace TestSupport {

namespace {

using TPlay = std::function<bool(const TCaseStep&, std::string&)>;
using TFields = std::map<std::string, std::string>;

// "later MS STEP": the step played on a thread of its own, MS ms on. Its
// outcome is read once Done is set.
struct TLater {
  TPlay Play;
  TCaseStep Step;
  uint32_t DelayMs = 0;
  std::atomic<bool> Done{false};
  bool Passed = false;
  std::string Why;
  Platform::TThread Thread;
  static void Body(void* Context) {
    auto& Self = *static_cast<TLater*>(Context);
    Platform::SleepMs(Self.DelayMs);
    try {
      Self.Passed = Self.Play(Self.Step, Self.Why);
    } catch (const std::exception& Error) {
      Self.Why = Error.what();
    }
    Self.Done = true;
  }
};

// "NAME=VALUE ..." (each VALUE escaped bytes): every one named must be as Got has it.
bool FieldsAre(const TFields& Got, std::string Wanted, std::string& Why) {
  for (std::string Word = TakeWord(Wanted); !Word.empty(); Word = TakeWord(Wanted)) {
    const size_t Equals = Word.find('=');
    if (Equals == std::string::npos) return Why = "it held, expected " + Word + " ...", false;
    const auto Found = Got.find(Word.substr(0, Equals));
    if (Found == Got.end()) throw std::runtime_error("no field " + Word);
    if (Found->second == DecodeBytes(Word.substr(Equals + 1))) continue;
    Why = Found->first + " is " + EscapeBytes(Found->second) + ", expected " + Word.substr(Equals + 1);
    return false;
  }
  return true;
}

const char* VerdictName(TAnswerVerdict Verdict) {
  return Verdict == TAnswerVerdict::InOrder ? "InOrder"
         : Verdict == TAnswerVerdict::OutOfOrder ? "OutOfOrder" : "Unmatched";
}

TFields CountFields(const TAnswerBook& Book) {
  const TAnswerCounts C = Book.Counts();
  return {{"sent", std::to_string(C.Sent)}, {"expected", std::to_string(C.Expected)},
          {"answered", std::to_string(C.Answered)}, {"missing", std::to_string(C.Missing)},
          {"duplicates", std::to_string(C.Duplicates)}, {"out-of-order", std::to_string(C.OutOfOrder)},
          {"bad-callbacks", std::to_string(C.BadCallbacks)},
          {"latencies", std::to_string(Book.Latencies().size())}};
}

// A command's fields, and the value of each named item by its name.
TFields CommandFields(const TScenarioCommand& Command) {
  TFields Fields{{"session", std::to_string(Command.Session)}, {"line", std::to_string(Command.Line)},
                 {"count", std::to_string(Command.Params.Count())}, {"text", Command.Params.ParamsToText()}};
  for (int I = 0; I < Command.Params.Count(); ++I) {
    const std::string& Item = Command.Params.Item(I);
    const std::string Name = Item.substr(0, Item.find('='));
    if (Name != Item) Fields.emplace(Name, Command.Params.GetParam(Name));
  }
  return Fields;
}

TFields OptionFields(const THostOptions& O) {
  auto N = [](uint64_t Value) { return std::to_string(Value); };
  return {{"plugin", O.PluginPath}, {"scenario", O.ScenarioPath}, {"stop-file", O.StopFile},
          {"user-value", N(O.UserValue)}, {"timeout-ms", N(O.TimeoutMs)},
          {"wait-limit-ms", N(O.WaitLimitMs)}, {"repeat", N(O.Repeat)}, {"threads", N(O.Threads)},
          {"sessions-per-thread", N(O.SessionsPerThread)}, {"cycles", N(O.Cycles)},
          {"in-flight", N(O.InFlight)}, {"expect", std::to_string(O.Expect)}, {"tags", N(O.TagsUserData())},
          {"quiet", N(O.Quiet)}, {"stats", N(O.Stats)}, {"help", N(O.Help)}};
}

}  // namespace

bool RunAnswerCase(const std::vector<TCaseStep>& Steps) {
  auto Book = std::make_unique<TAnswerBook>();
  std::unique_ptr<TAnswerWindow> Window;
  std::vector<TScenarioCommand> Commands;
  std::unique_ptr<TLater> Later;
  TPlay Play = [&](const TCaseStep& Step, std::string& Why) {
    std::string Rest = " " + Step.Rest, Wanted = TakeResult(Rest), Took;  // the arrow may come first
    Rest.erase(0, 1);
    const size_t TookAt = (" " + Wanted).rfind(" took ");  // "... took RANGE": the step's ms
    if (TookAt != std::string::npos) {
      Took = Wanted.substr(TookAt + 5);
      Wanted.resize(TookAt == 0 ? 0 : TookAt - 1);
    }
    const std::string& Verb = Step.Verb;
    const uint64_t Start = Platform::TickCountMs();
    std::string Got;
    TFields Fields;
    if (Verb == "kind") return true;
    if ((Verb == "take" || Verb == "give") && !Window) throw std::runtime_error("no window yet");
    if (Verb == "window") {
      Window = std::make_unique<TAnswerWindow>(std::stoul(Rest));
    } else if (Verb == "take") {
      Window->Take(std::stoul(Rest));
    } else if (Verb == "give") {
      Window->Give();
    } else if (Verb == "expect-override") {  // a new book, waiting for this many answers
      Book = std::make_unique<TAnswerBook>(std::stoll(Rest));
    } else if (Verb == "expect" || Verb == "answer") {
      const int32_t Session = std::stoi(TakeWord(Rest));
      if (Verb == "expect") Book->Expect(Session, DecodeBytes(Rest));
      if (Verb == "answer") Got = VerdictName(Book->Answer(Session, DecodeBytes(Rest)));
    } else if (Verb == "sent-without-answer") {
      Book->SentWithoutAnswer();
    } else if (Verb == "finish-sending") {
      Book->FinishSending();
    } else if (Verb == "wait-answers") {
      Got = Book->WaitForAnswers(std::stoul(Rest)) ? "1" : "0";
    } else if (Verb == "counts") {
      Fields = CountFields(*Book);
    } else if (Verb == "percentile") {  // percentile P of V1 V2 ...
      const double P = std::stod(TakeWord(Rest));
      if (TakeWord(Rest) != "of") throw std::runtime_error("percentile P of VALUES");
      std::vector<uint32_t> Values;
      for (std::string Word = TakeWord(Rest); !Word.empty(); Word = TakeWord(Rest))
        Values.push_back(static_cast<uint32_t>(std::stoul(Word)));
      Got = std::to_string(Percentile(Values, P));
    } else if (Verb == "scenario") {
      std::istringstream In(DecodeBytes(Rest));
      try {
        Commands = ReadScenario(In);
        Got = std::to_string(Commands.size());
      } catch (const std::runtime_error& Error) {
        Got = std::string("error ") + Error.what();
      }
    } else if (Verb == "command") {
      Fields = CommandFields(Commands.at(std::stoul(Rest)));
    } else if (Verb == "options") {
      std::vector<std::string> Arguments;
      while (!Rest.empty()) Arguments.push_back(DecodeBytes(TakeWord(Rest)));
      try {
        Fields = OptionFields(ParseHostOptions(Arguments));
      } catch (const EHostUsage& Error) {
        Got = std::string("error ") + Error.what();
      }
    } else if (Verb == "later" && !Later) {  // later MS STEP: its result is the step's
      Later = std::make_unique<TLater>();
      Rest = Step.Rest;
      Later->DelayMs = static_cast<uint32_t>(std::stoul(TakeWord(Rest)));
      Later->Step = TCaseStep{Step.Line, TakeWord(Rest), Rest};
      Later->Play = Play;
      if (!Later->Thread.Create(&TLater::Body, Later.get()) || !Later->Thread.Start())
        throw std::runtime_error("no thread");
      return true;
    } else if (Verb == "join" && Later) {  // join MS => 1: the later step ended within MS, and held
      const uint64_t Until = Start + std::stoul(Rest);
      while (!Later->Done && Platform::TickCountMs() < Until) Platform::SleepMs(5);
      Got = Later->Done ? "1" : "0";
      if (Later->Done && !Later->Passed) return Why = "the later step failed: " + Later->Why, false;
    } else {
      throw std::runtime_error("unknown step " + Verb + " " + Rest);
    }
    const long Ms = static_cast<long>(Platform::TickCountMs() - Start);
    if (!Took.empty() && !InRange(Ms, Took)) return Why = Verb + " took " + std::to_string(Ms) + " ms", false;
    if (Wanted.empty()) return true;
    if (!Fields.empty()) return FieldsAre(Fields, Wanted, Why);
    Why = Verb + " gave " + EscapeBytes(Got) + ", expected " + Wanted;
    return MatchesPattern(Wanted, Got);
  };
  bool Passed = PlaySteps(Steps, Play);
  if (Later) {  // the later step ends before what it uses goes; it must have held
    Later->Thread.WaitForEnd();
    if (!Later->Passed) std::printf("FAIL at line %d: %s\n", Later->Step.Line, Later->Why.c_str());
    Passed = Passed && Later->Passed;
  }
  return Passed;
}

}  // namespace TestSupport
