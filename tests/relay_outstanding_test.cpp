// The table of requests awaiting answers: matching answers by session and host
// value, giving up on a lost connection by generation, the untracked beyond
// the cap, and the stop.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "relay/OutstandingRequests.h"

namespace {

// Records the sessions given up, in the order the table reports them.
struct TDrops {
  std::vector<int32_t> Sessions;
  TOutstandingRequests::TUnanswered Sink() {
    return [this](int32_t SessionACT) { Sessions.push_back(SessionACT); };
  }
};

using TList = std::vector<int32_t>;

}  // namespace

TEST(OutstandingRequests, AnswerTakesTheOldestOfItsSessionAndLossDropsTheRestInSendOrder) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  for (int32_t Session : {1, 2, 1, 3, 1}) Table.Sent(Session, 0, 0);
  EXPECT_TRUE(Table.Answered(1, 0));
  EXPECT_TRUE(Table.Answered(3, 0));
  EXPECT_FALSE(Table.Answered(7, 0)) << "a session never sent through the table";
  EXPECT_EQ(Table.Unanswered(), 3u);
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 3u);
  EXPECT_EQ(Drops.Sessions, (TList{2, 1, 1}));
  EXPECT_EQ(Table.Unanswered(), 0u);
  EXPECT_FALSE(Table.Answered(1, 0)) << "an answer after its request was given up matches nothing";
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 0u) << "a second notice of the same loss";
}

TEST(OutstandingRequests, LossKeepsRequestsSentOnALaterConnection) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, 0, 4);
  Table.Sent(2, 0, 4);
  Table.Sent(3, 0, 5);  // went out after the loss of connection 4
  EXPECT_EQ(Table.ConnectionLost(4, Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{1, 2}));
  EXPECT_TRUE(Table.Answered(3, 0));
  EXPECT_EQ(Table.Unanswered(), 0u);
}

TEST(OutstandingRequests, GenerationsKeepTheirOrderAcrossTheWrap) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, 0, UINT32_MAX);
  Table.Sent(2, 0, 0);  // the next connection, past the wrap
  EXPECT_EQ(Table.ConnectionLost(UINT32_MAX, Drops.Sink()), 1u);
  EXPECT_EQ(Drops.Sessions, (TList{1}));
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 1u);
  EXPECT_EQ(Drops.Sessions, (TList{1, 2}));
}

// Beyond the cap the oldest leave untracked, reported by nobody: answered
// ones waiting behind an unanswered one take a place until it goes.
TEST(OutstandingRequests, CapLeavesTheOldestUntrackedAndCountsAnsweredOnesWaitingBehindIt) {
  TOutstandingRequests Table(3);
  TDrops Drops;
  EXPECT_FALSE(Table.Sent(1, 0, 0));
  EXPECT_FALSE(Table.Sent(2, 0, 0));
  EXPECT_FALSE(Table.Sent(3, 0, 0));
  EXPECT_TRUE(Table.Sent(4, 0, 0));  // over the cap: session 1's request leaves
  EXPECT_EQ(Table.TakeUntracked(), 1u);
  EXPECT_TRUE(Table.Answered(3, 0));
  EXPECT_TRUE(Table.Sent(5, 0, 0));  // 2 leaves, and the answered 3 behind it
  EXPECT_EQ(Table.TakeUntracked(), 1u);
  EXPECT_EQ(Table.TakeUntracked(), 0u);
  EXPECT_EQ(Table.Unanswered(), 2u);
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{4, 5})) << "the untracked are never reported";
}

// Regression: after the cap gave up a request, its late answer settled a
// newer request of the same session, and every later figure was off by one.
// The untracked one is its key's oldest: its answer is taken for it.
TEST(OutstandingRequests, LateAnswerOfAnUntrackedRequestSettlesNoNewerOne) {
  TOutstandingRequests Table(2);
  TDrops Drops;
  const uint64_t A = TOutstandingRequests::HostValueKey("a");
  Table.Sent(1, A, 0);
  Table.Sent(2, 0, 0);
  Table.Sent(1, A, 0);  // session 1's first leaves untracked
  EXPECT_TRUE(Table.Answered(1, A));  // its answer, late
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{2, 1})) << "the newer request of session 1 is still awaited";
}

// A session's requests with different host values are told apart: an answer
// out of send order settles its own request.
TEST(OutstandingRequests, HostValueTellsASessionsRequestsApart) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  const uint64_t First = TOutstandingRequests::HostValueKey("id=1");
  const uint64_t Second = TOutstandingRequests::HostValueKey("id=2");
  EXPECT_NE(First, Second);
  EXPECT_NE(TOutstandingRequests::HostValueKey(""), TOutstandingRequests::HostValueKey(" "));
  Table.Sent(5, First, 0);
  Table.Sent(5, Second, 0);
  EXPECT_TRUE(Table.Answered(5, Second));
  EXPECT_FALSE(Table.Answered(5, TOutstandingRequests::HostValueKey("id=3")));
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 1u);
  EXPECT_EQ(Drops.Sessions, (TList{5}));
}

// A lost connection forgets the untracked requests it took with it: a later
// request of the same key is settled by its own answer.
TEST(OutstandingRequests, LossForgetsTheUntrackedSentOnIt) {
  TOutstandingRequests Table(1);
  TDrops Drops;
  Table.Sent(1, 0, 0);
  Table.Sent(2, 0, 0);  // 1 leaves untracked
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 1u);
  Table.Sent(1, 0, 1);
  EXPECT_TRUE(Table.Answered(1, 0));
  EXPECT_EQ(Table.Unanswered(), 0u);
}

TEST(OutstandingRequests, ASilentServerNeverGrowsTheTablePastItsCap) {
  TOutstandingRequests Table(1000);
  size_t Untracked = 0;
  for (int32_t I = 0; I < 100000; ++I) {
    Table.Sent(I % 7, static_cast<uint64_t>(I), 0);
    Untracked += Table.TakeUntracked();
    ASSERT_LE(Table.Unanswered(), 1000u);
  }
  EXPECT_EQ(Untracked, 99000u);
  size_t Reported = 0;
  EXPECT_EQ(Table.DropAll([&](int32_t) { ++Reported; }), 1000u);
  EXPECT_EQ(Reported, 1000u);
}

TEST(OutstandingRequests, DropAllGivesUpEveryUnansweredRequestOnce) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, 0, 0);
  Table.Sent(1, 0, 1);
  Table.Sent(-3, 0, 2);
  EXPECT_TRUE(Table.Answered(1, 0));
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{1, -3}));
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 0u);
  Table.Sent(9, 0, 3);  // usable again after being emptied
  EXPECT_TRUE(Table.Answered(9, 0));
}

// A drained table hands its containers' room back after a large backlog; it
// must match, lose and cap exactly as before when requests come again.
TEST(OutstandingRequests, TableDrainedAfterALargeBacklogWorksAsBefore) {
  TOutstandingRequests Table(100000);
  TDrops Drops;
  for (int Round = 0; Round < 2; ++Round) {
    for (int32_t I = 0; I < 20000; ++I) Table.Sent(I % 7, 0, 0);
    for (int32_t I = 0; I < 20000; ++I) ASSERT_TRUE(Table.Answered(I % 7, 0));
    EXPECT_EQ(Table.Unanswered(), 0u);
  }
  for (int32_t I = 0; I < 10000; ++I) Table.Sent(I, 0, 1);
  EXPECT_EQ(Table.ConnectionLost(1, Drops.Sink()), 10000u);
  ASSERT_EQ(Drops.Sessions.size(), 10000u);
  EXPECT_EQ(Drops.Sessions.front(), 0);
  EXPECT_EQ(Drops.Sessions.back(), 9999);
  Table.Sent(5, 0, 2);
  EXPECT_TRUE(Table.Answered(5, 0));
  EXPECT_FALSE(Table.Answered(5, 0));
}
