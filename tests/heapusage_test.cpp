// Tests of the heap-in-use figure the benchmarks read: it follows blocks
// handed out and released, small ones and large ones alike.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/testing/HeapUsage.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool AllocatorReplaced = true;  // the sanitizer's allocator keeps its own books
#else
constexpr bool AllocatorReplaced = false;
#endif

TEST(HeapUsage, FollowsSmallAndLargeBlocksOutAndBack) {
  if (AllocatorReplaced) GTEST_SKIP() << "a sanitizer replaces the C library's allocator";
  const size_t Before = Platform::HeapBytesInUse();
  ASSERT_GT(Before, 0u);
  std::vector<void*> Blocks;
  for (int I = 0; I < 1000; ++I) Blocks.push_back(std::malloc(100));
  Blocks.push_back(std::malloc(4 << 20));  // beyond any small-block pool
  for (void* Block : Blocks) ASSERT_NE(Block, nullptr);
  const size_t Held = Platform::HeapBytesInUse();
  EXPECT_GE(Held, Before + 1000 * 100 + (4 << 20));
  EXPECT_LE(Held, Before + 1000 * 200 + (4 << 20) + (1 << 16));
  for (void* Block : Blocks) std::free(Block);
  const size_t After = Platform::HeapBytesInUse();
  EXPECT_LE(After, Before + (1 << 16));
}
