#include "audio/TransmitMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/AudioSpectrum.h"

namespace {

std::vector<int16_t> constant(std::size_t count, int16_t value) {
  return std::vector<int16_t>(count, value);
}

TEST(TransmitMonitor, KeepsEveryFourthSampleAttenuated) {
  TransmitMonitor monitor;
  // Indices 0, 4 and 8 carry the marks; everything else would show if it leaked through.
  std::vector<int16_t> transmit(10, 30000);
  transmit[0] = 5000;
  transmit[4] = -10000;
  transmit[8] = 15000;
  monitor.load(transmit);
  std::vector<int16_t> block = constant(5, 7);
  monitor.mix(block);
  EXPECT_EQ(block, (std::vector<int16_t>{107, -193, 307, 7, 7}));
  std::vector<int16_t> next = constant(5, 7);
  monitor.mix(next);
  EXPECT_EQ(next, constant(5, 7));
}

TEST(TransmitMonitor, MixesThePartLeftThenPassesBlocksUnchanged) {
  TransmitMonitor monitor;
  monitor.load(constant(4 * 612, 10000));  // 612 values of 200
  std::vector<int16_t> first = constant(512, 0);
  monitor.mix(first);
  EXPECT_EQ(first, constant(512, 200));

  std::vector<int16_t> second = constant(512, 7);
  monitor.mix(second);
  EXPECT_TRUE(
      std::all_of(second.begin(), second.begin() + 100, [](int16_t s) { return s == 207; }));
  EXPECT_TRUE(std::all_of(second.begin() + 100, second.end(), [](int16_t s) { return s == 7; }));

  std::vector<int16_t> third = constant(512, 7);
  monitor.mix(third);
  EXPECT_EQ(third, constant(512, 7));
}

TEST(TransmitMonitor, TruncatesTowardZeroClampsAndRestartsOnLoad) {
  TransmitMonitor monitor;
  monitor.load(std::vector<int16_t>{49, 0, 0, 0, -49, 0, 0, 0, 32767, 0, 0, 0, -32768});
  std::vector<int16_t> block = {5, 5, 32767, -32768};
  monitor.mix(block);
  // 5 + 0.98 and 5 - 0.98 both cut toward zero; ±655 past full scale stays at full scale.
  EXPECT_EQ(block, (std::vector<int16_t>{5, 4, 32767, -32768}));

  // A new transmission starts from its own beginning; clear and an empty load stop it.
  monitor.load(constant(4 * 10, -5000));
  block = constant(8, 0);
  monitor.mix(block);
  EXPECT_EQ(block, constant(8, -100));
  for (const bool clear : {true, false}) {
    monitor.load(constant(4 * 10, 5000));
    clear ? monitor.clear() : monitor.load({});
    block = constant(8, 0);
    monitor.mix(block);
    EXPECT_EQ(block, constant(8, 0));
  }
}

// The main thread loads and empties the copy while the capture thread mixes: every block sees
// one whole state, a run of the copy followed by untouched samples.
TEST(TransmitMonitor, MixesConsistentlyWhileTheMainThreadLoadsAndClears) {
  TransmitMonitor monitor;
  const std::vector<int16_t> transmit = constant(4 * 2000, 5000);  // 2000 values of 100
  // Stopped and joined when the test leaves, even on a failed assertion.
  std::jthread mainThread([&](std::stop_token stop) {
    for (int i = 0; !stop.stop_requested(); ++i) {
      if (i % 3 == 2) {
        monitor.clear();
      } else {
        monitor.load(transmit);
      }
    }
  });
  // Mix until enough blocks have met a loaded copy, however the two threads get scheduled.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::size_t blocksWithMonitor = 0;
  for (int i = 0; i < 3000 || blocksWithMonitor < 100; ++i) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::vector<int16_t> block = constant(512, 0);
    monitor.mix(block);
    const auto end = std::find(block.begin(), block.end(), 0);
    ASSERT_TRUE(std::all_of(block.begin(), end, [](int16_t s) { return s == 100; }));
    ASSERT_TRUE(std::all_of(end, block.end(), [](int16_t s) { return s == 0; }));
    if (end != block.begin()) ++blocksWithMonitor;
  }
}

// One's own 1500 Hz transmission shows on the waterfall at 1500 Hz, about 34 dB below a
// full-scale received tone, for as long as it lasts on the air.
TEST(TransmitMonitor, OwnTransmissionShowsInTheSpectrumForItsDuration) {
  constexpr double kToneHz = 1500.0;
  constexpr std::size_t kTransmitSeconds = 2;
  std::vector<int16_t> transmit(48000 * kTransmitSeconds);
  for (std::size_t n = 0; n < transmit.size(); ++n) {
    transmit[n] = static_cast<int16_t>(
        std::lround(32767.0 * std::sin(2.0 * std::numbers::pi * kToneHz * n / 48000.0)));
  }
  TransmitMonitor monitor;
  monitor.load(transmit);

  AudioSpectrum spectrum(16384, 12000);
  std::vector<float> row;
  std::size_t blocksChanged = 0;
  std::size_t rows = 0;
  for (int i = 0; i < 60; ++i) {
    std::vector<int16_t> block = constant(512, 0);
    monitor.mix(block);
    if (std::any_of(block.begin(), block.end(), [](int16_t s) { return s != 0; })) {
      ++blocksChanged;
    }
    // Stop feeding once the tone has gone by, so that the last row shows it in full.
    if (i < 47 && spectrum.process(block, 1400, 1700, row)) ++rows;
  }
  // 24 000 samples at 12 000 Hz: 46 full blocks and part of the 47th.
  EXPECT_EQ(blocksChanged, 47u);
  ASSERT_GT(rows, 0u);
  ASSERT_EQ(row.size(), 412u);
  const auto peak = std::max_element(row.begin(), row.end());
  EXPECT_EQ(peak - row.begin(), 2048 - 1911);
  EXPECT_NEAR(*peak, -12.04f + 20.0f * std::log10(0.02f), 0.3f);
}

}  // namespace
