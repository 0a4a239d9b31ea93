#include "audio/CaptureBlockQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr size_t kBlock = 64;

std::vector<float> numbered(uint64_t number) { return std::vector<float>(kBlock, float(number)); }

TEST(CaptureBlockQueue, HandsBlocksOverInOrderDropsOnlyWhenFullAndPadsShortOnes) {
  CaptureBlockQueue queue(3, kBlock);
  for (uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(queue.push(numbered(i)), i <= 3) << i;
  EXPECT_EQ(queue.pushed(), 5u);
  EXPECT_EQ(queue.dropped(), 2u);
  for (uint64_t i = 1; i <= 3; ++i) {
    const auto block = queue.waitForBlock();
    ASSERT_EQ(block.size(), kBlock);
    EXPECT_EQ(block.front(), float(i));
    EXPECT_EQ(block.back(), float(i));
    queue.pop();
  }
  EXPECT_EQ(queue.popped(), 3u);
  // Room again once the consumer caught up; a short block reuses a slot, padded with silence.
  EXPECT_TRUE(queue.push(std::vector<float>(10, 0.5f)));
  const auto block = queue.waitForBlock();
  EXPECT_EQ(block[9], 0.5f);
  EXPECT_EQ(block[10], 0.0f);
  EXPECT_EQ(block.back(), 0.0f);
}

// A fast producer and a consumer that stalls now and then: every block is either handed over
// whole and in order or counted as dropped, never torn or repeated. Closing wakes the consumer.
TEST(CaptureBlockQueue, LosesNothingUncountedBetweenThreads) {
  constexpr uint64_t kBlocks = 20000;
  CaptureBlockQueue queue(8, kBlock);
  std::vector<float> seen;
  std::thread consumer([&] {
    for (uint64_t n = 0;; ++n) {
      const auto block = queue.waitForBlock();
      if (block.empty()) return;
      for (float sample : block) ASSERT_EQ(sample, block.front());
      seen.push_back(block.front());
      queue.pop();
      if (n % 100 == 0) std::this_thread::yield();
    }
  });
  for (uint64_t i = 0; i < kBlocks; ++i) queue.push(numbered(i));
  while (queue.popped() + queue.dropped() < kBlocks) std::this_thread::yield();
  queue.close();
  consumer.join();

  EXPECT_EQ(seen.size() + queue.dropped(), kBlocks);
  for (size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
}

}  // namespace
