// The table of requests awaiting answers: matching answers by session, giving
// up on a lost connection by generation, the cap, and the stop.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "relay/OutstandingRequests.h"

namespace {

// Records the sessions given up, in the order the table reports them.
struct TDrops {
  std::vector<int32_t> Sessions;
  TOutstandingRequests::TDropped Sink() {
    return [this](int32_t SessionACT) { Sessions.push_back(SessionACT); };
  }
};

using TList = std::vector<int32_t>;

}  // namespace

TEST(OutstandingRequests, AnswerTakesTheOldestOfItsSessionAndLossDropsTheRestInSendOrder) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  for (int32_t Session : {1, 2, 1, 3, 1}) Table.Sent(Session, 0, Drops.Sink());
  EXPECT_TRUE(Table.Answered(1));
  EXPECT_TRUE(Table.Answered(3));
  EXPECT_FALSE(Table.Answered(7)) << "a session never sent through the table";
  EXPECT_EQ(Table.Unanswered(), 3u);
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 3u);
  EXPECT_EQ(Drops.Sessions, (TList{2, 1, 1}));
  EXPECT_EQ(Table.Unanswered(), 0u);
  EXPECT_FALSE(Table.Answered(1)) << "an answer after its request was given up matches nothing";
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 0u) << "a second notice of the same loss";
}

TEST(OutstandingRequests, LossKeepsRequestsSentOnALaterConnection) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, 4, Drops.Sink());
  Table.Sent(2, 4, Drops.Sink());
  Table.Sent(3, 5, Drops.Sink());  // went out after the loss of connection 4
  EXPECT_EQ(Table.ConnectionLost(4, Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{1, 2}));
  EXPECT_TRUE(Table.Answered(3));
  EXPECT_EQ(Table.Unanswered(), 0u);
}

TEST(OutstandingRequests, GenerationsKeepTheirOrderAcrossTheWrap) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, UINT32_MAX, Drops.Sink());
  Table.Sent(2, 0, Drops.Sink());  // the next connection, past the wrap
  EXPECT_EQ(Table.ConnectionLost(UINT32_MAX, Drops.Sink()), 1u);
  EXPECT_EQ(Drops.Sessions, (TList{1}));
  EXPECT_EQ(Table.ConnectionLost(0, Drops.Sink()), 1u);
  EXPECT_EQ(Drops.Sessions, (TList{1, 2}));
}

TEST(OutstandingRequests, CapGivesUpTheOldestAndCountsAnsweredOnesWaitingBehindIt) {
  TOutstandingRequests Table(3);
  TDrops Drops;
  Table.Sent(1, 0, Drops.Sink());
  Table.Sent(2, 0, Drops.Sink());
  Table.Sent(3, 0, Drops.Sink());
  EXPECT_TRUE(Drops.Sessions.empty());
  Table.Sent(4, 0, Drops.Sink());  // over the cap: session 1's request goes
  EXPECT_EQ(Drops.Sessions, (TList{1}));
  EXPECT_FALSE(Table.Answered(1));
  // Session 3 answered behind the unanswered 2: it still takes a place
  // until 2 leaves, then goes with it.
  EXPECT_TRUE(Table.Answered(3));
  Table.Sent(5, 0, Drops.Sink());
  EXPECT_EQ(Drops.Sessions, (TList{1, 2}));
  EXPECT_EQ(Table.Unanswered(), 2u);
  EXPECT_TRUE(Table.Answered(4));
  EXPECT_TRUE(Table.Answered(5));
}

TEST(OutstandingRequests, ASilentServerNeverGrowsTheTablePastItsCap) {
  TOutstandingRequests Table(1000);
  size_t Dropped = 0;
  for (int32_t I = 0; I < 100000; ++I) {
    Table.Sent(I % 7, 0, [&](int32_t) { ++Dropped; });
    ASSERT_LE(Table.Unanswered(), 1000u);
  }
  EXPECT_EQ(Dropped, 99000u);
  EXPECT_EQ(Table.DropAll([&](int32_t) { ++Dropped; }), 1000u);
  EXPECT_EQ(Dropped, 100000u);
}

TEST(OutstandingRequests, DropAllGivesUpEveryUnansweredRequestOnce) {
  TOutstandingRequests Table(100);
  TDrops Drops;
  Table.Sent(1, 0, Drops.Sink());
  Table.Sent(1, 1, Drops.Sink());
  Table.Sent(-3, 2, Drops.Sink());
  EXPECT_TRUE(Table.Answered(1));
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 2u);
  EXPECT_EQ(Drops.Sessions, (TList{1, -3}));
  EXPECT_EQ(Table.DropAll(Drops.Sink()), 0u);
  Table.Sent(9, 3, Drops.Sink());  // usable again after being emptied
  EXPECT_TRUE(Table.Answered(9));
}

// A drained table hands its containers' room back after a large backlog; it
// must match, lose and cap exactly as before when requests come again.
TEST(OutstandingRequests, TableDrainedAfterALargeBacklogWorksAsBefore) {
  TOutstandingRequests Table(100000);
  TDrops Drops;
  for (int Round = 0; Round < 2; ++Round) {
    for (int32_t I = 0; I < 20000; ++I) Table.Sent(I % 7, 0, Drops.Sink());
    for (int32_t I = 0; I < 20000; ++I) ASSERT_TRUE(Table.Answered(I % 7));
    EXPECT_EQ(Table.Unanswered(), 0u);
  }
  for (int32_t I = 0; I < 10000; ++I) Table.Sent(I, 1, Drops.Sink());
  EXPECT_EQ(Table.ConnectionLost(1, Drops.Sink()), 10000u);
  ASSERT_EQ(Drops.Sessions.size(), 10000u);
  EXPECT_EQ(Drops.Sessions.front(), 0);
  EXPECT_EQ(Drops.Sessions.back(), 9999);
  Table.Sent(5, 2, Drops.Sink());
  EXPECT_TRUE(Table.Answered(5));
  EXPECT_FALSE(Table.Answered(5));
}
