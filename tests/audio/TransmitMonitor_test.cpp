#include "audio/TransmitMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

std::vector<int16_t> constant(std::size_t count, int16_t value) {
  return std::vector<int16_t>(count, value);
}

std::vector<int16_t> mixed(TransmitMonitor& monitor, std::vector<int16_t> block) {
  monitor.mix(block);
  return block;
}

// Every fourth transmitted sample at a fiftieth, added to the captured blocks while it lasts,
// cut toward zero and clamped; a new load starts over, clear and an empty load stop it.
TEST(TransmitMonitor, MixesEveryFourthSampleAttenuatedWhileItLasts) {
  TransmitMonitor monitor;
  // Indices 0, 4 and 8 carry the marks; everything else would show if it leaked through.
  std::vector<int16_t> transmit(10, 30000);
  transmit[0] = 5000;
  transmit[4] = -10000;
  transmit[8] = 15000;
  monitor.load(transmit);
  EXPECT_EQ(mixed(monitor, constant(5, 7)), (std::vector<int16_t>{107, -193, 307, 7, 7}));

  monitor.load(constant(4 * 612, 10000));  // 612 values of 200
  // Block by block: the value before, after, and how many samples of it are mixed.
  const int parts[][3] = {{0, 200, 512}, {7, 207, 100}, {7, 7, 0}};
  for (const auto& [before, after, count] : parts) {
    std::vector<int16_t> expected = constant(512, int16_t(before));
    std::fill_n(expected.begin(), count, int16_t(after));
    EXPECT_EQ(mixed(monitor, constant(512, int16_t(before))), expected);
  }

  // 5 + 0.98 and 5 - 0.98 both cut toward zero; ±655 past full scale stays at full scale.
  monitor.load(std::vector<int16_t>{49, 0, 0, 0, -49, 0, 0, 0, 32767, 0, 0, 0, -32768});
  EXPECT_EQ(mixed(monitor, {5, 5, 32767, -32768}), (std::vector<int16_t>{5, 4, 32767, -32768}));
  monitor.load(constant(4 * 10, -5000));
  EXPECT_EQ(mixed(monitor, constant(8, 0)), constant(8, -100));
  for (const bool clear : {true, false}) {
    monitor.load(constant(4 * 10, 5000));
    clear ? monitor.clear() : monitor.load({});
    EXPECT_EQ(mixed(monitor, constant(8, 0)), constant(8, 0));
  }
}

// The main thread loads and empties the copy while the capture thread mixes: every block sees
// one whole state, a run of the copy followed by untouched samples.
TEST(TransmitMonitor, MixesConsistentlyWhileTheMainThreadLoadsAndClears) {
  TransmitMonitor monitor;
  const std::vector<int16_t> transmit = constant(4 * 2000, 5000);  // 2000 values of 100
  std::jthread mainThread([&](std::stop_token stop) {
    for (int i = 0; !stop.stop_requested(); ++i)
      i % 3 == 2 ? monitor.clear() : monitor.load(transmit);
  });
  // Mix until enough blocks have met a loaded copy, however the two threads get scheduled.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0, withCopy = 0; i < 3000 || withCopy < 100; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    const auto block = mixed(monitor, constant(512, 0));
    const auto end = std::find(block.begin(), block.end(), 0);
    ASSERT_TRUE(std::all_of(block.begin(), end, [](int16_t s) { return s == 100; }));
    ASSERT_TRUE(std::all_of(end, block.end(), [](int16_t s) { return s == 0; }));
    withCopy += end != block.begin();
  }
}

}  // namespace
