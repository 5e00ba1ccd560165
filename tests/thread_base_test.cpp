// Tests of the general thread class through a derived class of its own; the
// worker built on it, its queue ring and its task records are cases of kind
// worker (tests/cases/worker).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "platform/Thread.h"
#include "relay/ThreadBase.h"

namespace {

struct TFlagThread : TThreadBase {
  std::atomic<bool> Ran{false};
  bool Fail = false;
  TFlagThread() : TThreadBase(true) {}
  explicit TFlagThread(bool ThrowInConstructor) : TThreadBase(true) {
    if (ThrowInConstructor) throw std::runtime_error("derived part failed");
  }
  void Execute() override {
    Ran = true;
    if (Fail) throw std::runtime_error("body failed");
  }
};

// The message of the failure a thread kept; "" when none.
std::string FatalText(const TThreadBase& Thread) {
  if (!Thread.FatalError()) return "";
  try {
    std::rethrow_exception(Thread.FatalError());
  } catch (const std::exception& Error) {
    return Error.what();
  }
}

}  // namespace

// The body runs only after Start; a failure escaping it is kept, and a
// termination asked before the start only sets the flag.
TEST(ThreadBase, BodyRunsOnlyAfterStartAndItsFailureIsKept) {
  for (const bool Fail : {true, false}) {
    TFlagThread Thread;
    Thread.Fail = Fail;
    EXPECT_FALSE(Thread.Terminated());
    if (!Fail) Thread.Terminate();
    EXPECT_EQ(Thread.Terminated(), !Fail);
    Platform::SleepMs(30);
    EXPECT_FALSE(Thread.Ran);
    Thread.Start();
    Thread.WaitFor();
    EXPECT_TRUE(Thread.Ran);
    EXPECT_EQ(Fail ? "body failed" : "", FatalText(Thread));
  }
}

TEST(ThreadBase, NeverStartedThreadIsReleasedWithoutRunningItsBody) {
  {
    TFlagThread Thread;
    Thread.WaitFor();  // nothing to wait for
    EXPECT_FALSE(Thread.FatalError());
  }
  // A derived constructor that fails after the base made the thread.
  EXPECT_THROW(TFlagThread(true), std::runtime_error);
}
