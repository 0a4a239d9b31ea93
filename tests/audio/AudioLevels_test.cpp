#include "audio/AudioLevels.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// Both meters follow the same rule; run each case on either reading.
struct Meter {
  const char* name;
  void (AudioLevels::*update)(float);
  float (AudioLevels::*read)() const;
  void (AudioLevels::*changed)(float);
};

const Meter kMeters[] = {
    {"input", &AudioLevels::updateInput, &AudioLevels::inputDb, &AudioLevels::inputDbChanged},
    {"output", &AudioLevels::updateOutput, &AudioLevels::outputDb, &AudioLevels::outputDbChanged},
};

TEST(AudioLevels, MeterRisesAtOnceAndFallsBySteps) {
  for (const Meter& meter : kMeters) {
    SCOPED_TRACE(meter.name);
    AudioLevels levels(-10.0f);
    QSignalSpy spy(&levels, meter.changed);
    (levels.*meter.update)(-40.0f);
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -11.5f);
    (levels.*meter.update)(-40.0f);
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -13.0f);
    (levels.*meter.update)(-3.0f);
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -3.0f);
    // A level just below the reading is shown as it is, not as a full step down.
    (levels.*meter.update)(-3.5f);
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -3.5f);
    // No level at all reads as a quiet one.
    (levels.*meter.update)(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -5.0f);
    ASSERT_EQ(spy.count(), 5);
    EXPECT_FLOAT_EQ(spy.at(3).at(0).toFloat(), -3.5f);
  }
}

TEST(AudioLevels, MeterStopsAtTheFloorAndThenStaysQuiet) {
  for (const Meter& meter : kMeters) {
    SCOPED_TRACE(meter.name);
    AudioLevels levels(-59.0f);
    QSignalSpy spy(&levels, meter.changed);
    (levels.*meter.update)(-80.0f);
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -60.0f);
    EXPECT_EQ(spy.count(), 1);
    (levels.*meter.update)(-80.0f);
    (levels.*meter.update)(-std::numeric_limits<float>::infinity());
    (levels.*meter.update)(std::numeric_limits<float>::quiet_NaN());
    EXPECT_FLOAT_EQ((levels.*meter.read)(), -60.0f);
    EXPECT_EQ(spy.count(), 1);
  }
}

TEST(AudioLevels, DirectWritesNotifyOnlyOnChange) {
  AudioLevels levels(-60.0f);
  QSignalSpy outputSpy(&levels, &AudioLevels::outputDbChanged);
  levels.setOutputDb(-60.0f);
  levels.setOutputDb(-0.25f);
  levels.setOutputDb(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FLOAT_EQ(levels.outputDb(), -0.25f);
  EXPECT_EQ(outputSpy.count(), 1);
  EXPECT_FLOAT_EQ(levels.inputDb(), -60.0f);
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
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<int16_t> mixed = {1000, -1000, 0, 32767, -32768};
  const struct {
    std::vector<int16_t> samples;
    float gain;
    std::vector<int16_t> expected;
  } cases[] = {
      {{100, -100, 30000}, 2.0f, {200, -200, 32767}},
      {{5, -5, 3, -3, 1, -1}, 0.5f, {3, -3, 2, -2, 1, -1}},
      {{-32768, 32767, -20000}, 2.0f, {-32768, 32767, -32768}},
      {{32767, -32768, 7}, 0.999f, {32734, -32735, 7}},
      {{32767, 1000}, 0.0f, {0, 0}},
      {{}, 2.0f, {}},
      {mixed, std::numeric_limits<float>::quiet_NaN(), mixed},
      {mixed, -2.0f, {0, 0, 0, 0, 0}},
      {mixed, -inf, {0, 0, 0, 0, 0}},
      {mixed, inf, {32767, -32768, 0, 32767, -32768}},
      {mixed, 1e30f, {32767, -32768, 0, 32767, -32768}},
  };
  for (const auto& c : cases) EXPECT_EQ(applyGain(c.samples, c.gain), c.expected) << c.gain;
  std::vector<int16_t> block = {10, -10, 11};
  applyGainInPlace(std::span(block).subspan(1), 1.5f);
  EXPECT_EQ(block, (std::vector<int16_t>{10, -15, 17}));
}

}  // namespace
