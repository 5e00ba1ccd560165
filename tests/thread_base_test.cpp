// The general thread class's one case no worker case can play: a derived
// constructor that fails after the base made the thread. The rest of its
// contract is played through the worker (tests/cases/worker).
#include <gtest/gtest.h>

#include <stdexcept>

#include "relay/ThreadBase.h"

namespace {

struct TFailingThread : TThreadBase {
  TFailingThread() : TThreadBase(true) { throw std::runtime_error("derived part failed"); }
  void Execute() override {}
};

}  // namespace

// The base's destructor releases the suspended thread, whose body never runs.
TEST(ThreadBase, ThreadWhoseDerivedConstructorFailsIsReleasedUnstarted) {
  EXPECT_THROW(TFailingThread(), std::runtime_error);
}
