#include "audio/AudioLevels.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Both meters follow the same rule; run each case on either reading.
struct Meter {
  const char* name;
  void (AudioLevels::*update)(float);
  float (AudioLevels::*read)() const;
  void (AudioLevels::*changed)(float);
};

TEST(AudioLevels, MeterRisesAtOnceFallsByStepsStopsAtTheFloorAndNotifiesOnlyChanges) {
  const Meter meters[] = {
      {"input", &AudioLevels::updateInput, &AudioLevels::inputDb, &AudioLevels::inputDbChanged},
      {"output", &AudioLevels::updateOutput, &AudioLevels::outputDb, &AudioLevels::outputDbChanged},
  };
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
  for (const Meter& meter : meters) {
    for (const auto& c : cases) {
      SCOPED_TRACE(meter.name);
      AudioLevels levels(c.initial);
      QSignalSpy spy(&levels, meter.changed);
      for (const auto& [db, reading] : c.steps) {
        (levels.*meter.update)(db);
        EXPECT_FLOAT_EQ((levels.*meter.read)(), reading) << db;
      }
      ASSERT_EQ(spy.count(), c.announced);
      EXPECT_FLOAT_EQ(spy.back().at(0).toFloat(), c.steps[c.announced - 1].second);
    }
  }
  // A reading written directly is stored as it is; NaN is no reading.
  AudioLevels levels(-60.0f);
  QSignalSpy spy(&levels, &AudioLevels::outputDbChanged);
  for (const float db : {-60.0f, -0.25f, kNan}) levels.setOutputDb(db);
  EXPECT_FLOAT_EQ(levels.outputDb(), -0.25f);
  EXPECT_EQ(spy.count(), 1);
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
  std::vector<int16_t> block = {10, -10, 11};
  applyGainInPlace(std::span(block).subspan(1), 1.5f);
  EXPECT_EQ(block, (std::vector<int16_t>{10, -15, 17}));
}

}  // namespace
