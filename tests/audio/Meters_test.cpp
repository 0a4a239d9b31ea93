#include <gtest/gtest.h>

#include <QSignalSpy>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "audio/AudioLevels.h"
#include "audio/AudioSpectrum.h"
#include "audio/WaterfallBitmap.h"

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(AudioLevels, MeterRisesAtOnceFallsByStepsStopsAtTheFloorAndNotifiesOnlyChanges) {
  // From a reading, each level taken in and the reading after it. A level just below the reading
  // is shown as it is, not as a full step down; no level at all reads as a quiet one.
  const struct {
    float initial;
    std::vector<std::pair<float, float>> steps;
    int announced;
  } cases[] = {
      {-10, {{-40, -11.5f}, {-40, -13}, {-3, -3}, {-3.5f, -3.5f}, {kNan, -5}}, 5},
      {-59, {{-80, -60}, {-80, -60}, {-kInf, -60}, {kNan, -60}}, 1},
  };
  for (const bool input : {true, false}) {
    for (const auto& c : cases) {
      AudioLevels levels(c.initial);
      QSignalSpy spy(&levels, input ? &AudioLevels::inputDbChanged : &AudioLevels::outputDbChanged);
      for (const auto& [db, reading] : c.steps) {
        input ? levels.updateInput(db) : levels.updateOutput(db);
        EXPECT_FLOAT_EQ(input ? levels.inputDb() : levels.outputDb(), reading)
            << input << " " << db;
      }
      ASSERT_EQ(spy.count(), c.announced);
      EXPECT_FLOAT_EQ(spy.back().at(0).toFloat(), c.steps[c.announced - 1].second);
    }
  }
}

TEST(PeakLevel, MeasuresTheLargestMagnitude) {
  const std::pair<std::vector<int16_t>, float> cases[] = {
      {{}, -60.0f},           {std::vector<int16_t>(512, 0), -60.0f},
      {{3, -32768, 5}, 0.0f}, {{100, 16384, -16000}, -6.0206f},
      {{0, -1}, -90.309f},  // the meters floor what they show; the measurement is not floored
  };
  for (const auto& [samples, db] : cases) EXPECT_NEAR(peakLevelDb(samples), db, 1e-3f);
}

TEST(ApplyGain, ScalesRoundsHalvesAwayFromZeroAndClamps) {
  const std::vector<int16_t> mixed = {1000, -1000, 0, 32767, -32768};
  const struct {
    std::vector<int16_t> samples;
    float gain;
    std::vector<int16_t> expected;
  } cases[] = {
      {{100, -100, 30000, -20000}, 2.0f, {200, -200, 32767, -32768}},
      {{5, -5, 3, -3, 1, -1}, 0.5f, {3, -3, 2, -2, 1, -1}},
      {{32767, -32768, 7}, 0.999f, {32734, -32735, 7}},
      {mixed, 0.0f, {0, 0, 0, 0, 0}},
      {mixed, kNan, mixed},
      {mixed, -2.0f, {0, 0, 0, 0, 0}},
      {mixed, kInf, {32767, -32768, 0, 32767, -32768}},
  };
  for (const auto& c : cases) EXPECT_EQ(applyGain(c.samples, c.gain), c.expected) << c.gain;
}

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

TEST(AudioSpectrum, MakesOneRowPer480SamplesTakenIn) {
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  // Block sizes and whether each gives a row: 1000 = 2 × 480 + 40 gives one and leaves 40.
  const std::size_t sizes[] = {0, 400, 400, 400, 239, 1, 1000, 439, 0, 1, 3 * kFftSize + 7};
  const bool rows[] = {false, false, true, true, false, true, true, false, false, true, true};
  for (std::size_t i = 0; i < std::size(sizes); ++i)
    EXPECT_EQ(spectrum.process(std::vector<int16_t>(sizes[i]), 1400, 1700).has_value(), rows[i])
        << i;
}

TEST(AudioSpectrum, RowCoversTheBinsBetweenTheLimits) {
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  const std::vector<int16_t> block(480);
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
  spectrum.process(std::vector<int16_t>(kFftSize / 2 + kFftSize / 4), 0, 0);
  std::vector<float> row;
  ASSERT_TRUE(spectrum.process(tone(2048 * kBinWidth, 1.0, kFftSize / 2), 1400, 1700, row));
  EXPECT_NEAR(row[2048 - kLowBin], -18.06f, 0.1f);
}

// One point has no bins: rows are due but empty.
TEST(AudioSpectrum, RejectsSizesItCannotTransform) {
  for (const auto& [size, rate] : {std::pair{0, 12000}, {1000, 12000}, {16384, 0}, {16384, -1}})
    EXPECT_THROW(AudioSpectrum(size, rate), std::invalid_argument) << size << " " << rate;
  EXPECT_EQ(AudioSpectrum(1, kSampleRate).process(std::vector<int16_t>(480), 0, 6000),
            std::vector<float>{});
}

constexpr QRgb kDark = 0xff080a1e;   // -90 dB and below
constexpr QRgb kBlue = 0xff164baa;   // -62 dB
constexpr QRgb kGreen = 0xff50bb89;  // -48 dB
constexpr QRgb kRed = 0xffeb281e;    // -20 dB and above

bool rowIs(const QImage& image, int y, QRgb color) {
  for (int x = 0; x < image.width(); ++x) {
    if (image.pixel(x, y) != color) return false;
  }
  return true;
}

TEST(WaterfallBitmap, ColoursLevelsAlongItsScale) {
  const std::pair<float, QRgb> cases[] = {
      {-kInf, kDark}, {-200, kDark},     {-90, kDark}, {kNan, kDark}, {-62, kBlue},
      {-48, kGreen},  {-34, 0xffe7b026}, {-20, kRed},  {0, kRed},     {kInf, kRed},
  };
  std::vector<float> row;
  for (const auto& c : cases) row.push_back(c.first);
  WaterfallBitmap waterfall;
  waterfall.push(row);
  ASSERT_EQ(waterfall.image().width(), int(row.size()));
  for (int x = 0; x < int(row.size()); ++x)
    EXPECT_EQ(waterfall.image().pixel(x, 0), cases[x].second) << row[x];
  // Single-precision truncation: just below a whole number stays below it.
  waterfall.push(std::vector<float>{-55.5f});
  EXPECT_EQ(qGreen(waterfall.image().pixel(0, 0)), 139);
}

// A view may still be drawing an earlier image when the next row arrives: it must not change.
TEST(WaterfallBitmap, ScrollsDownOneRowPerPushKeepsPublishedImagesAndStartsAfreshOnANewWidth) {
  WaterfallBitmap waterfall;
  QSignalSpy spy(&waterfall, &WaterfallBitmap::imageChanged);
  waterfall.push({});
  EXPECT_TRUE(waterfall.image().isNull());
  waterfall.push(std::vector<float>(8, -20.0f));
  const QImage first = waterfall.image();
  waterfall.push(std::vector<float>(8, -62.0f));
  ASSERT_EQ(waterfall.image().size(), QSize(8, 90));
  EXPECT_TRUE(rowIs(waterfall.image(), 0, kBlue) && rowIs(waterfall.image(), 1, kRed) &&
              rowIs(waterfall.image(), 2, kDark));
  EXPECT_TRUE(rowIs(first, 0, kRed) && rowIs(first, 1, kDark));

  const std::vector<float> quiet(8, -90.0f);
  for (int i = 0; i < 88; ++i) waterfall.push(quiet);
  EXPECT_TRUE(rowIs(waterfall.image(), 89, kRed) && rowIs(waterfall.image(), 88, kBlue));
  waterfall.push(quiet);
  EXPECT_TRUE(rowIs(waterfall.image(), 89, kBlue));
  waterfall.push(quiet);
  for (int y = 0; y < 90; ++y) ASSERT_TRUE(rowIs(waterfall.image(), y, kDark)) << "row " << y;
  EXPECT_EQ(spy.count(), 92);

  waterfall.push(std::vector<float>(10, -48.0f));
  ASSERT_EQ(waterfall.image().size(), QSize(10, 90));
  EXPECT_TRUE(rowIs(waterfall.image(), 0, kGreen));
  for (int y = 1; y < 90; ++y) ASSERT_TRUE(rowIs(waterfall.image(), y, kDark)) << "row " << y;
}

}  // namespace
