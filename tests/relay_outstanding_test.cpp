// The table of requests awaiting answers under volume: a silent server and a
// large backlog drained. Its behaviours request by request are cases of kind
// outstanding (tests/cases/outstanding_requests).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "relay/OutstandingRequests.h"

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

// A drained table hands its containers' room back after a large backlog; it
// must match, lose and cap exactly as before when requests come again.
TEST(OutstandingRequests, TableDrainedAfterALargeBacklogWorksAsBefore) {
  TOutstandingRequests Table(100000);
  std::vector<int32_t> Dropped;
  const auto Drop = [&](int32_t Session) { Dropped.push_back(Session); };
  for (int Round = 0; Round < 2; ++Round) {
    for (int32_t I = 0; I < 20000; ++I) Table.Sent(I % 7, 0, 0);
    for (int32_t I = 0; I < 20000; ++I) ASSERT_TRUE(Table.Answered(I % 7, 0));
    EXPECT_EQ(Table.Unanswered(), 0u);
  }
  for (int32_t I = 0; I < 10000; ++I) Table.Sent(I, 0, 1);
  EXPECT_EQ(Table.ConnectionLost(1, Drop), 10000u);
  ASSERT_EQ(Dropped.size(), 10000u);
  EXPECT_EQ(Dropped.front(), 0);
  EXPECT_EQ(Dropped.back(), 9999);
  Table.Sent(5, 0, 2);
  EXPECT_TRUE(Table.Answered(5, 0));
  EXPECT_FALSE(Table.Answered(5, 0));
}
