// The host runner: answer matching and counting, scenario and command-line
// reading (its whole runs against the fake plug-in are cases, tests/cases).
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "standins/host/AnswerBook.h"
#include "standins/host/AnswerWindow.h"
#include "standins/host/HostOptions.h"
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

}  // namespace
