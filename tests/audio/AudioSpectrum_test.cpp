#include "audio/AudioSpectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::size_t kFftSize = 16384;
constexpr int kSampleRate = 12000;
constexpr double kBinWidth = 0.732421875;
constexpr std::size_t kLowBin = 1911;  // the bin of 1400 Hz

// A sine of the given peak amplitude (1.0 = full scale) starting at phase 0.
std::vector<int16_t> tone(double hz, double amplitude, std::size_t count) {
  std::vector<int16_t> samples(count);
  for (std::size_t n = 0; n < count; ++n) {
    samples[n] = int16_t(
        std::lround(32767.0 * amplitude * std::sin(2.0 * std::numbers::pi * hz * n / kSampleRate)));
  }
  return samples;
}

std::vector<int16_t> silence(std::size_t count) { return std::vector<int16_t>(count, 0); }

TEST(AudioSpectrum, MakesOneRowPer480SamplesTakenIn) {
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  // Block sizes and whether each gives a row: 1000 = 2 × 480 + 40 gives one and leaves 40.
  const std::size_t sizes[] = {0, 400, 400, 400, 239, 1, 1000, 439, 0, 1, 3 * kFftSize + 7};
  const bool rows[] = {false, false, true, true, false, true, true, false, false, true, true};
  for (std::size_t i = 0; i < std::size(sizes); ++i)
    EXPECT_EQ(spectrum.process(silence(sizes[i]), 1400, 1700).has_value(), rows[i]) << i;
}

TEST(AudioSpectrum, RowCoversTheBinsBetweenTheLimits) {
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  const std::vector<int16_t> block = silence(480);
  // Limits past half the sample rate stop at the last bin, 8191; reversed ones give no bins.
  const struct {
    int low, high;
    std::size_t bins;
  } cases[] = {{1400, 1700, 412}, {1700, 1400, 0}, {5990, 100000, 8191 - 8178 + 1}, {-500, 1, 3}};
  std::vector<float> row;
  for (const auto& c : cases) {
    ASSERT_TRUE(spectrum.process(block, c.low, c.high, row));
    EXPECT_EQ(row.size(), c.bins) << c.low << " " << c.high;
    // Silence reads the floor of 1e-9.
    EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](float db) { return db == -180.0f; }));
  }
  // A constant and an alternating signal each land in bin 0, as with a packed real transform:
  // 0.5 × N/2 over N.
  for (const bool alternating : {false, true}) {
    AudioSpectrum fresh(kFftSize, kSampleRate);
    std::vector<int16_t> samples(kFftSize, 16384);
    for (std::size_t n = 1; alternating && n < samples.size(); n += 2) samples[n] = -16384;
    ASSERT_TRUE(fresh.process(samples, 0, 1, row));
    EXPECT_NEAR(row[0], -12.04f, 0.05f) << alternating;
    EXPECT_TRUE(!alternating || row[1] < -100.0f);
  }
}

TEST(AudioSpectrum, ToneReadsItsAmplitudeLess12DbInItsBinAndItsNeighbours6DbBelow) {
  // Half the amplitude from the two sides of the transform, half again from the Hann window.
  const std::tuple<std::size_t, double, float> cases[] = {
      {2048, 1.0, -12.04f}, {1950, 1.0, -12.04f}, {2300, 0.1, -32.04f}};
  for (const auto& [bin, amplitude, db] : cases) {
    SCOPED_TRACE(bin);
    AudioSpectrum spectrum(kFftSize, kSampleRate);
    std::vector<float> row;
    ASSERT_TRUE(spectrum.process(tone(bin * kBinWidth, amplitude, 2 * kFftSize), 1400, 1700, row));
    ASSERT_EQ(row.size(), 412u);
    const std::size_t at = bin - kLowBin;
    EXPECT_EQ(std::size_t(std::max_element(row.begin(), row.end()) - row.begin()), at);
    EXPECT_NEAR(row[at], db, 0.05f);
    EXPECT_NEAR(row[at - 1], db - 6.02f, 0.05f);
    EXPECT_NEAR(row[at + 1], db - 6.02f, 0.05f);
    EXPECT_LT(row[at + 10], db - 60.0f);
  }
}

TEST(AudioSpectrum, WindowsTheLatestSamplesOldestFirst) {
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  // 20 480 samples in all, so the ring's write position stands a quarter of the way in. The
  // tone fills the newest half of the transform, where the window's second half weighs it:
  // a quarter of N, 6 dB below a full window.
  spectrum.process(silence(kFftSize / 2 + kFftSize / 4), 0, 0);
  std::vector<float> row;
  ASSERT_TRUE(spectrum.process(tone(2048 * kBinWidth, 1.0, kFftSize / 2), 1400, 1700, row));
  EXPECT_NEAR(row[2048 - kLowBin], -18.06f, 0.1f);
}

TEST(AudioSpectrum, RejectsSizesItCannotTransform) {
  for (const auto& [size, rate] : {std::pair{0, kSampleRate},
                                   {1000, kSampleRate},
                                   {int(kFftSize), 0},
                                   {int(kFftSize), -12000}})
    EXPECT_THROW(AudioSpectrum(size, rate), std::invalid_argument) << size << " " << rate;
  // One point has no bins: rows are due but empty.
  const auto row = AudioSpectrum(1, kSampleRate).process(silence(480), 0, 6000);
  ASSERT_TRUE(row.has_value());
  EXPECT_TRUE(row->empty());
}

}  // namespace
