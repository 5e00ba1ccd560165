// The host runner: answer matching and counting, scenario and command-line
// reading, and whole runs against a fake plug-in that answers, drops,
// doubles, reorders or mislabels answers on request.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "standins/host/AnswerBook.h"
#include "standins/host/AnswerWindow.h"
#include "standins/host/HostOptions.h"
#include "standins/host/HostRunner.h"
#include "standins/host/Scenario.h"
#include "tests/support/TestSupport.h"

namespace {

// ------------------------------------------------------------ answer window

TEST(HostAnswerWindow, FullWindowReopensAtHalfAndATimedOutSenderSendsAnyway) {
  TAnswerWindow Window(4);
  for (int I = 0; I < 4; ++I) Window.Take(0);
  struct TWaiter {
    TAnswerWindow* Window;
    std::atomic<bool> Took{false};
  } Waiter{&Window};
  Platform::TThread Sender;
  ASSERT_TRUE(Sender.Create(
      [](void* Context) {
        auto& W = *static_cast<TWaiter*>(Context);
        W.Window->Take(10000);
        W.Took = true;
      },
      &Waiter));
  ASSERT_TRUE(Sender.Start());
  Window.Give();  // 3 unanswered: still above half
  Platform::SleepMs(100);
  EXPECT_FALSE(Waiter.Took.load());
  Window.Give();  // 2: half, the waiting sender goes on
  EXPECT_TRUE(Sender.WaitForEnd());
  EXPECT_TRUE(Waiter.Took.load());

  Window.Take(0);  // 4 unanswered again
  const uint64_t Start = Platform::TickCountMs();
  Window.Take(150);  // no room: sends after the time-out
  EXPECT_GE(Platform::TickCountMs() - Start, 120u);
}

// ------------------------------------------------------------- answer book

TEST(HostAnswerBook, MatchesAnswersBySessionAndUserData) {
  TAnswerBook Book;
  Book.Expect(1, "a");
  Book.Expect(1, "b");
  Book.Expect(2, "a");
  Book.SentWithoutAnswer();
  EXPECT_EQ(Book.Answer(2, "a"), TAnswerVerdict::InOrder);
  EXPECT_EQ(Book.Answer(1, "a"), TAnswerVerdict::InOrder);
  EXPECT_EQ(Book.Answer(1, "b"), TAnswerVerdict::InOrder);
  const TAnswerCounts Counts = Book.Counts();
  EXPECT_EQ(Counts.Sent, 4u);
  EXPECT_EQ(Counts.Expected, 3u);
  EXPECT_EQ(Counts.Answered, 3u);
  EXPECT_EQ(Counts.Missing, 0u);
  EXPECT_EQ(Counts.Duplicates, 0u);
  EXPECT_EQ(Counts.OutOfOrder, 0u);
  EXPECT_EQ(Book.Latencies().size(), 3u);
}

TEST(HostAnswerBook, RepeatsForeignSessionsAndWrongUserDataAreDuplicates) {
  TAnswerBook Book;
  Book.Expect(1, "a");
  EXPECT_EQ(Book.Answer(1, "a"), TAnswerVerdict::InOrder);
  EXPECT_EQ(Book.Answer(1, "a"), TAnswerVerdict::Unmatched);   // the same answer again
  EXPECT_EQ(Book.Answer(-1, "a"), TAnswerVerdict::Unmatched);  // a session never used
  Book.Expect(1, "b");
  EXPECT_EQ(Book.Answer(1, "garbled"), TAnswerVerdict::Unmatched);
  const TAnswerCounts Counts = Book.Counts();
  EXPECT_EQ(Counts.Duplicates, 3u);
  EXPECT_EQ(Counts.Answered, 1u);
  EXPECT_EQ(Counts.Missing, 1u);
}

TEST(HostAnswerBook, LateAnswerIsOutOfOrderButASkippedCommandIsOnlyMissing) {
  TAnswerBook Book;
  for (const char* Tag : {"0", "1", "2", "3"}) Book.Expect(5, Tag);
  EXPECT_EQ(Book.Answer(5, "1"), TAnswerVerdict::InOrder);  // "0" skipped: not yet a fault
  EXPECT_EQ(Book.Answer(5, "3"), TAnswerVerdict::InOrder);  // "2" skipped as well
  EXPECT_EQ(Book.Answer(5, "2"), TAnswerVerdict::OutOfOrder);
  TAnswerCounts Counts = Book.Counts();
  EXPECT_EQ(Counts.OutOfOrder, 1u);
  EXPECT_EQ(Counts.Missing, 1u);  // "0" never came
  // Another session has an order of its own.
  Book.Expect(6, "x");
  EXPECT_EQ(Book.Answer(6, "x"), TAnswerVerdict::InOrder);
}

TEST(HostAnswerBook, EqualCommandsOfOneSessionAreInterchangeable) {
  TAnswerBook Book;
  Book.Expect(3, "same");
  Book.Expect(3, "same");
  EXPECT_EQ(Book.Answer(3, "same"), TAnswerVerdict::InOrder);
  EXPECT_EQ(Book.Answer(3, "same"), TAnswerVerdict::InOrder);
  EXPECT_EQ(Book.Answer(3, "same"), TAnswerVerdict::Unmatched);
}

TEST(HostAnswerBook, ExpectOverrideSetsTheAnswersWaitedFor) {
  TAnswerBook Book(1);
  Book.Expect(1, "a");
  Book.Expect(1, "b");
  Book.Answer(1, "b");
  Book.FinishSending();
  EXPECT_TRUE(Book.WaitForAnswers(0));
  EXPECT_EQ(Book.Counts().Missing, 0u);
  EXPECT_EQ(Book.Counts().Expected, 1u);
}

// The wait must end the moment the last answer arrives from another thread,
// not at its time-out, and must give up when answers stop coming.
struct TLateAnswer {
  TAnswerBook* Book;
  static void Body(void* Context) {
    auto* Self = static_cast<TLateAnswer*>(Context);
    Platform::SleepMs(100);
    Self->Book->Answer(9, "late");
  }
};

TEST(HostAnswerBook, WaitWakesOnTheLastAnswerAndTimesOutWithoutIt) {
  TAnswerBook Book;
  Book.Expect(9, "late");
  Book.FinishSending();
  TLateAnswer Late{&Book};
  Platform::TThread Thread;
  ASSERT_TRUE(Thread.Create(&TLateAnswer::Body, &Late));
  const uint64_t Start = Platform::TickCountMs();
  ASSERT_TRUE(Thread.Start());
  EXPECT_TRUE(Book.WaitForAnswers(20000));
  EXPECT_LT(Platform::TickCountMs() - Start, 5000u);
  Thread.WaitForEnd();

  TAnswerBook Silent;
  Silent.Expect(1, "never");
  Silent.FinishSending();
  const uint64_t Begin = Platform::TickCountMs();
  EXPECT_FALSE(Silent.WaitForAnswers(150));
  EXPECT_GE(Platform::TickCountMs() - Begin, 140u);
}

TEST(HostAnswerBook, PercentileByNearestRank) {
  std::vector<uint32_t> Values{50, 10, 40, 30, 20, 60, 70, 80, 90, 100};
  EXPECT_EQ(Percentile(Values, 50), 50u);
  EXPECT_EQ(Percentile(Values, 99), 100u);
  std::vector<uint32_t> None;
  EXPECT_EQ(Percentile(None, 50), 0u);
}

// ---------------------------------------------------- scenario, command line

TEST(HostScenario, SkipsBlankAndCommentLinesAndReadsTheTextForm) {
  std::istringstream In(
      "# heading\r\n\r\n   \t\n17 Operation=3,Path=notes.txt,UserData=abc\r\n"
      "  -4   \"UserData=x, y\" , Path=a\n  # indented comment\n5\n0x10 A=1\n");
  const std::vector<TScenarioCommand> Commands = ReadScenario(In);
  ASSERT_EQ(Commands.size(), 4u);
  EXPECT_EQ(Commands[0].Session, 17);
  EXPECT_EQ(Commands[0].Params.ParamsToText(), "Operation=3,Path=notes.txt,UserData=abc");
  EXPECT_EQ(Commands[0].Line, 4);
  EXPECT_EQ(Commands[1].Session, -4);
  EXPECT_EQ(Commands[1].Params.GetParam("UserData"), "x, y");
  EXPECT_EQ(Commands[1].Params.Count(), 2);
  EXPECT_EQ(Commands[2].Session, 5);
  EXPECT_EQ(Commands[2].Params.Count(), 0);
  EXPECT_EQ(Commands[3].Session, 16);
}

TEST(HostScenario, NonNumericSessionNamesTheLine) {
  std::istringstream In("1 A=1\nabc A=2\n");
  try {
    ReadScenario(In);
    FAIL() << "no error";
  } catch (const std::runtime_error& Error) {
    EXPECT_NE(std::string(Error.what()).find("line 2"), std::string::npos) << Error.what();
  }
}

TEST(HostOptions, ReadsEveryOptionAndRefusesBadOnes) {
  const THostOptions Options = ParseHostOptions(
      {"p.dll", "--scenario", "s.txt", "--user-value", "0xFFFFFFFF", "--timeout-ms", "0",
       "--repeat", "3", "--threads", "2", "--sessions-per-thread", "5", "--expect", "7",
       "--quiet", "--stats", "--cycles", "2", "--no-tag", "--in-flight", "64", "--stop-file",
       "stop"});
  EXPECT_EQ(Options.PluginPath, "p.dll");
  EXPECT_EQ(Options.ScenarioPath, "s.txt");
  EXPECT_EQ(Options.UserValue, 0xFFFFFFFFu);
  EXPECT_EQ(Options.TimeoutMs, 0u);
  EXPECT_EQ(Options.Repeat, 3u);
  EXPECT_EQ(Options.Threads, 2u);
  EXPECT_EQ(Options.SessionsPerThread, 5u);
  EXPECT_EQ(Options.Expect, 7);
  EXPECT_EQ(Options.Cycles, 2u);
  EXPECT_EQ(Options.InFlight, 64u);
  EXPECT_EQ(Options.StopFile, "stop");
  EXPECT_TRUE(Options.Quiet && Options.Stats);
  EXPECT_FALSE(Options.TagsUserData());
  EXPECT_TRUE(ParseHostOptions({"p", "--repeat", "2"}).TagsUserData());
  EXPECT_FALSE(ParseHostOptions({"p"}).TagsUserData());
  EXPECT_TRUE(ParseHostOptions({"p", "--tag"}).TagsUserData());

  for (const std::vector<std::string>& Bad :
       std::vector<std::vector<std::string>>{{},
                                             {"p", "--threads", "0"},
                                             {"p", "--repeat", "x"},
                                             {"p", "--timeout-ms", "-1"},
                                             {"p", "--timeout-ms"},
                                             {"p", "--stop-file", ""},
                                             {"p", "--bogus"},
                                             {"p", "q"}}) {
    EXPECT_THROW(ParseHostOptions(Bad), EHostUsage);
  }
}

// ----------------------------------------------------- runs with a plug-in

// Collects the runner's lines; the plug-in's worker thread writes too.
class TCapture : public THostOutput {
public:
  void Line(const std::string& Text) override {
    Platform::TLockGuard Guard(Lock);
    Out += Text + "\n";
  }
  void ErrorLine(const std::string& Text) override {
    Platform::TLockGuard Guard(Lock);
    Err += Text + "\n";
  }
  std::string Out, Err;

private:
  Platform::TCriticalSection Lock;
};

std::string PluginPath(const std::string& Name) {
  // As a user would type it on this system.
  return Platform::ToNativePath(TestSupport::BinaryDir() + Name);
}

struct TRun {
  int Exit;
  TCapture Output;
};

void RunHostWith(TRun& Result, std::vector<std::string> Arguments, const std::string& Scenario,
         const std::string& Plugin = "FakePlugin.dll") {
  Arguments.insert(Arguments.begin(), PluginPath(Plugin));
  std::istringstream In(Scenario);
  Result.Exit = RunHost(Arguments, Result.Output, In);
}

bool Has(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

TEST(HostRun, PrintsNameAnswersAndSummary) {
  TRun R;
  RunHostWith(R, {"--user-value", "4242"},
      "17 Operation=3,Path=notes.txt,UserData=abc\n"
      "17 Operation=1,\"UserData=x, y\"\n42 Path=C:\\a.txt\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_EQ(R.Output.Out.rfind("plugin Velmora\n", 0), 0u) << R.Output.Out;
  EXPECT_TRUE(Has(R.Output.Out, "answer 17 Operation=3,Path=notes.txt,UserData=abc\n"));
  EXPECT_TRUE(Has(R.Output.Out, "answer 17 Operation=1,\"UserData=x, y\"\n"));
  EXPECT_TRUE(Has(R.Output.Out, "answer 42 Path=C:\\a.txt\n"));
  EXPECT_TRUE(Has(R.Output.Out, "\nsent 3 answered 3 missing 0 duplicates 0 out-of-order 0\n"));
  EXPECT_EQ(R.Output.Err, "");
}

TEST(HostRun, EmptyCommandIsSentButNotWaitedFor) {
  TRun R;
  RunHostWith(R, {"--quiet"}, "5\n6 A=1\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_EQ(R.Output.Out, "plugin Velmora\nsent 2 answered 1 missing 0 duplicates 0 out-of-order 0\n");
}

TEST(HostRun, MissingAnswerGivesExit2AfterTheTimeOut) {
  TRun R;
  const uint64_t Start = Platform::TickCountMs();
  RunHostWith(R, {"--timeout-ms", "300"}, "1 A=1\n1 A=2,FakeDrop=1\n1 A=3\n");
  const uint64_t Took = Platform::TickCountMs() - Start;
  EXPECT_EQ(R.Exit, HostExitMissing);
  EXPECT_TRUE(Has(R.Output.Out, "sent 3 answered 2 missing 1 duplicates 0 out-of-order 0\n"));
  EXPECT_GE(Took, 290u);
  EXPECT_LT(Took, 10000u);
}

TEST(HostRun, ExpectOverridesTheAnswerCount) {
  TRun R;
  RunHostWith(R, {"--expect", "1", "--quiet"}, "1 A=1\n1 A=2,FakeDrop=1\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Out;
  TRun More;
  RunHostWith(More, {"--expect", "3", "--timeout-ms", "100", "--quiet"}, "1 A=1\n1 A=2\n");
  EXPECT_EQ(More.Exit, HostExitMissing);
  EXPECT_TRUE(Has(More.Output.Out, "sent 2 answered 2 missing 1 "));
}

TEST(HostRun, DuplicateAndOutOfOrderAnswersGiveExit3) {
  TRun Twice;
  RunHostWith(Twice, {}, "8 A=1,FakeTwice=1\n");
  EXPECT_EQ(Twice.Exit, HostExitBadAnswers);
  EXPECT_TRUE(Has(Twice.Output.Out, "sent 1 answered 1 missing 0 duplicates 1 out-of-order 0\n"));
  EXPECT_TRUE(Has(Twice.Output.Err, "session 8 matches no outstanding command"));

  TRun Swapped;
  RunHostWith(Swapped, {}, "8 UserData=first,FakeHold=1\n8 UserData=second\n9 UserData=other\n");
  EXPECT_EQ(Swapped.Exit, HostExitBadAnswers);
  EXPECT_TRUE(Has(Swapped.Output.Out, "sent 3 answered 3 missing 0 duplicates 0 out-of-order 1\n"));
}

TEST(HostRun, WrongPluginNameOrUserValueInTheCallbackGivesExit3) {
  TRun Name;
  RunHostWith(Name, {}, "1 A=1,FakeBadName=1\n");
  EXPECT_EQ(Name.Exit, HostExitBadAnswers);
  EXPECT_TRUE(Has(Name.Output.Out, " bad-callbacks 1\n"));
  EXPECT_TRUE(Has(Name.Output.Err, "\"Impostor\""));

  TRun Value;
  RunHostWith(Value, {"--user-value", "-1"}, "1 A=1,FakeBadValue=1\n");
  EXPECT_EQ(Value.Exit, HostExitBadAnswers);
  EXPECT_TRUE(Has(Value.Output.Err, "expected 4294967295"));
}

TEST(HostRun, ThreadsSendOnTheirOwnSessionsAndEveryAnswerIsCounted) {
  TRun R;
  RunHostWith(R, {"--threads", "4", "--repeat", "50"}, "3 Operation=1,UserData=u\n7 Operation=2\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_TRUE(Has(R.Output.Out, "sent 400 answered 400 missing 0 duplicates 0 out-of-order 0\n"));
  // Thread 3's tagged answers on its own session, with the original value kept.
  EXPECT_TRUE(Has(R.Output.Out, "answer 3000003 Operation=1,UserData=3:0:u\n")) << R.Output.Out;
  EXPECT_TRUE(Has(R.Output.Out, "answer 3000007 Operation=2,UserData=3:99:\n"));
}

TEST(HostRun, SessionsPerThreadSpreadCommandsRoundRobin) {
  TRun R;
  RunHostWith(R, {"--threads", "2", "--sessions-per-thread", "3", "--stats"}, "99 A=1\n99 A=2\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_TRUE(Has(R.Output.Out, "answer 1000001 A=1,UserData=1:0:\n"));
  EXPECT_TRUE(Has(R.Output.Out, "answer 1000002 A=2,UserData=1:1:\n"));
  EXPECT_FALSE(Has(R.Output.Out, "answer 99 "));
  EXPECT_TRUE(Has(R.Output.Out, "\nstats round-trips 4 p50-us "));
}

TEST(HostRun, InFlightLimitKeepsSendingPastALostAnswer) {
  TRun R;
  RunHostWith(R, {"--in-flight", "1", "--threads", "3", "--repeat", "20", "--quiet", "--stats"},
              "1 A=1\n2 A=2\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_TRUE(Has(R.Output.Out, "sent 120 answered 120 missing 0 "));

  // With room for one command, the dropped one holds the next sender up for
  // the time-out once, then sending goes on and only the dropped answer is
  // missing (five more time-outs would be 1,200 ms).
  TRun Lost;
  const uint64_t Start = Platform::TickCountMs();
  RunHostWith(Lost, {"--in-flight", "1", "--timeout-ms", "200", "--quiet"},
              "1 A=1,FakeDrop=1\n1 A=2\n1 A=3\n1 A=4\n1 A=5\n1 A=6\n");
  EXPECT_EQ(Lost.Exit, HostExitMissing);
  EXPECT_TRUE(Has(Lost.Output.Out, "sent 6 answered 5 missing 1 duplicates 0 out-of-order 0\n"));
  const uint64_t Elapsed = Platform::TickCountMs() - Start;
  EXPECT_GE(Elapsed, 190u);
  EXPECT_LT(Elapsed, 800u);
}

TEST(HostRun, CyclesLoadAndUnloadThePluginEachTime) {
  TRun R;
  RunHostWith(R, {"--cycles", "3", "--quiet"}, "1 A=1\n2 A=2\n");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_EQ(R.Output.Out, "plugin Velmora\nsent 6 answered 6 missing 0 duplicates 0 out-of-order 0\n");
}

TEST(HostRun, StopFileEndsTheRoundsOnceItExists) {
  TestSupport::TScratchDir Dir;
  const std::string Stop = Platform::ToNativePath(Dir.Path() + "stop");
  TRun Going;
  RunHostWith(Going, {"--repeat", "5", "--threads", "2", "--stop-file", Stop, "--quiet"}, "1 A=1\n");
  EXPECT_EQ(Going.Exit, HostExitOk) << Going.Output.Err;
  EXPECT_TRUE(Has(Going.Output.Out, "sent 10 answered 10 missing 0 "));

  TestSupport::WriteFileBytes(Dir.Path() + "stop", "");
  TRun Stopped;
  RunHostWith(Stopped, {"--repeat", "1000000", "--threads", "2", "--stop-file", Stop, "--quiet"},
              "1 A=1\n");
  EXPECT_EQ(Stopped.Exit, HostExitOk) << Stopped.Output.Err;
  EXPECT_TRUE(Has(Stopped.Output.Out, "sent 0 answered 0 missing 0 "));
}

TEST(HostRun, ScenarioFromAFile) {
  TestSupport::TScratchDir Dir;
  TestSupport::WriteFileBytes(Dir.Path() + "s.txt", "# file\r\n11 Path=x\r\n");
  TRun R;
  RunHostWith(R, {"--scenario", Platform::ToNativePath(Dir.Path() + "s.txt")}, "");
  EXPECT_EQ(R.Exit, HostExitOk) << R.Output.Err;
  EXPECT_TRUE(Has(R.Output.Out, "answer 11 Path=x\n"));

  TRun Missing;
  RunHostWith(Missing, {"--scenario", Platform::ToNativePath(Dir.Path() + "none.txt")}, "");
  EXPECT_EQ(Missing.Exit, HostExitUsage);
  EXPECT_TRUE(Has(Missing.Output.Err, "cannot open the scenario"));
}

TEST(HostRun, LoadAndUsageErrorsGiveExit1) {
  TRun NoLibrary;
  RunHostWith(NoLibrary, {}, "1 A=1\n", "NoSuchPlugin.dll");
  EXPECT_EQ(NoLibrary.Exit, HostExitUsage);
  EXPECT_TRUE(Has(NoLibrary.Output.Err, "cannot load the plug-in")) << NoLibrary.Output.Err;

  TRun NoEntry;
  RunHostWith(NoEntry, {}, "1 A=1\n", "FakePluginNoCommand.dll");
  EXPECT_EQ(NoEntry.Exit, HostExitUsage);
  EXPECT_TRUE(Has(NoEntry.Output.Err, "no entry point Command_Plugin")) << NoEntry.Output.Err;

  TRun Usage;
  RunHostWith(Usage, {"--threads"}, "");
  EXPECT_EQ(Usage.Exit, HostExitUsage);
  EXPECT_TRUE(Has(Usage.Output.Err, "usage: velmora-host"));

  TRun Range;
  RunHostWith(Range, {"--threads", "2"}, "1 A=1\n-5 A=2\n");  // -5 of thread 1 is 999995 of thread 0
  EXPECT_EQ(Range.Exit, HostExitUsage);
  EXPECT_TRUE(Has(Range.Output.Err, "line 2: with --threads")) << Range.Output.Err;
}

}  // namespace
