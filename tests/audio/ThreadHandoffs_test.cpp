#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/CaptureBlockQueue.h"
#include "audio/TransmitMonitor.h"

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
    EXPECT_TRUE(block.front() == float(i) && block.back() == float(i)) << i;
    queue.pop();
  }
  EXPECT_EQ(queue.popped(), 3u);
  // Room again once the consumer caught up; a short block reuses a slot, padded with silence.
  EXPECT_TRUE(queue.push(std::vector<float>(10, 0.5f)));
  const auto block = queue.waitForBlock();
  EXPECT_TRUE(block[9] == 0.5f && block[10] == 0.0f && block.back() == 0.0f);
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

using Samples = std::vector<int16_t>;

Samples mixed(TransmitMonitor& monitor, Samples block) {
  monitor.mix(block);
  return block;
}

// Every fourth transmitted sample at a fiftieth, added to the captured blocks while it lasts,
// cut toward zero and clamped; a new load starts over, clear and an empty load stop it.
TEST(TransmitMonitor, MixesEveryFourthSampleAttenuatedWhileItLasts) {
  TransmitMonitor monitor;
  // Indices 0, 4 and 8 carry the marks; everything else would show if it leaked through.
  monitor.load(Samples{5000, 30000, 30000, 30000, -10000, 30000, 30000, 30000, 15000});
  EXPECT_EQ(mixed(monitor, Samples(5, 7)), (Samples{107, -193, 307, 7, 7}));

  monitor.load(Samples(4 * 612, 10000));  // 612 values of 200
  // Block by block: the value before, after, and how many samples of it are mixed.
  const int parts[][3] = {{0, 200, 512}, {7, 207, 100}, {7, 7, 0}};
  for (const auto& [before, after, count] : parts) {
    Samples expected = Samples(512, int16_t(before));
    std::fill_n(expected.begin(), count, int16_t(after));
    EXPECT_EQ(mixed(monitor, Samples(512, int16_t(before))), expected);
  }

  // 5 + 0.98 and 5 - 0.98 both cut toward zero; ±655 past full scale stays at full scale.
  monitor.load(Samples{49, 0, 0, 0, -49, 0, 0, 0, 32767, 0, 0, 0, -32768});
  EXPECT_EQ(mixed(monitor, {5, 5, 32767, -32768}), (Samples{5, 4, 32767, -32768}));
  for (const bool clear : {true, false}) {
    monitor.load(Samples(4 * 10, 5000));
    clear ? monitor.clear() : monitor.load({});
    EXPECT_EQ(mixed(monitor, Samples(8, 0)), Samples(8, 0));
  }
}

// The main thread loads and empties the copy while the capture thread mixes: every block sees
// one whole state, a run of the copy followed by untouched samples.
TEST(TransmitMonitor, MixesConsistentlyWhileTheMainThreadLoadsAndClears) {
  TransmitMonitor monitor;
  const Samples transmit = Samples(4 * 2000, 5000);  // 2000 values of 100
  std::jthread mainThread([&](std::stop_token stop) {
    for (int i = 0; !stop.stop_requested(); ++i)
      i % 3 == 2 ? monitor.clear() : monitor.load(transmit);
  });
  // Mix until enough blocks have met a loaded copy, however the two threads get scheduled.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0, withCopy = 0; i < 3000 || withCopy < 100; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    const auto block = mixed(monitor, Samples(512, 0));
    const auto end = std::find(block.begin(), block.end(), 0);
    ASSERT_TRUE(std::all_of(block.begin(), end, [](int16_t s) { return s == 100; }));
    ASSERT_TRUE(std::all_of(end, block.end(), [](int16_t s) { return s == 0; }));
    withCopy += end != block.begin();
  }
}

}  // namespace
