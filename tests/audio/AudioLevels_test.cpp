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
  QSignalSpy inputSpy(&levels, &AudioLevels::inputDbChanged);
  QSignalSpy outputSpy(&levels, &AudioLevels::outputDbChanged);
  levels.setOutputDb(-60.0f);
  EXPECT_EQ(outputSpy.count(), 0);
  levels.setOutputDb(-0.25f);
  levels.setOutputDb(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FLOAT_EQ(levels.outputDb(), -0.25f);
  EXPECT_EQ(outputSpy.count(), 1);
  // The property system reaches the same state and notice.
  EXPECT_TRUE(levels.setProperty("outputDb", -60.0f));
  EXPECT_FLOAT_EQ(levels.property("outputDb").toFloat(), -60.0f);
  EXPECT_EQ(outputSpy.count(), 2);
  EXPECT_EQ(inputSpy.count(), 0);
  EXPECT_FLOAT_EQ(levels.inputDb(), -60.0f);
}

TEST(PeakLevel, MeasuresTheLargestMagnitude) {
  EXPECT_FLOAT_EQ(peakLevelDb({}), -60.0f);
  const std::vector<int16_t> silence(512, 0);
  EXPECT_FLOAT_EQ(peakLevelDb(silence), -60.0f);
  const std::vector<int16_t> fullScale = {3, -32768, 5};
  EXPECT_FLOAT_EQ(peakLevelDb(fullScale), 0.0f);
  const std::vector<int16_t> half = {100, 16384, -16000};
  EXPECT_NEAR(peakLevelDb(half), -6.0206f, 1e-4f);
  // The meters floor what they show; the measurement itself is not floored.
  const std::vector<int16_t> one = {0, -1};
  EXPECT_NEAR(peakLevelDb(one), -90.309f, 1e-3f);
}

TEST(ApplyGain, ScalesRoundsHalvesAwayFromZeroAndClamps) {
  EXPECT_EQ(applyGain({100, -100, 30000}, 2.0f), (std::vector<int16_t>{200, -200, 32767}));
  EXPECT_EQ(applyGain({3}, 0.5f), (std::vector<int16_t>{2}));
  EXPECT_EQ(applyGain({-3}, 0.5f), (std::vector<int16_t>{-2}));
  EXPECT_EQ(applyGain({5, -5, 1, -1}, 0.5f), (std::vector<int16_t>{3, -3, 1, -1}));
  EXPECT_EQ(applyGain({-32768, 32767, -20000}, 2.0f),
            (std::vector<int16_t>{-32768, 32767, -32768}));
  EXPECT_EQ(applyGain({32767, -32768, 7}, 0.999f), (std::vector<int16_t>{32734, -32735, 7}));
  EXPECT_EQ(applyGain({32767, 1000}, 0.0f), (std::vector<int16_t>{0, 0}));
  EXPECT_TRUE(applyGain({}, 2.0f).empty());
}

TEST(ApplyGain, UnityGainReturnsTheSameSamples) {
  std::vector<int16_t> samples = {1, -32768, 32767, 0};
  const int16_t* storage = samples.data();
  const std::vector<int16_t> result = applyGain(std::move(samples), 1.0f);
  EXPECT_EQ(result.data(), storage);
  EXPECT_EQ(result, (std::vector<int16_t>{1, -32768, 32767, 0}));
}

TEST(ApplyGain, GainsOutsideTheMeaningfulRangeAreSafe) {
  const std::vector<int16_t> samples = {1000, -1000, 0, 32767, -32768};
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(applyGain(samples, std::numeric_limits<float>::quiet_NaN()), samples);
  EXPECT_EQ(applyGain(samples, -2.0f), (std::vector<int16_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(applyGain(samples, -inf), (std::vector<int16_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(applyGain(samples, inf), (std::vector<int16_t>{32767, -32768, 0, 32767, -32768}));
  EXPECT_EQ(applyGain(samples, 1e30f), (std::vector<int16_t>{32767, -32768, 0, 32767, -32768}));
}

TEST(ApplyGain, InPlaceFormScalesTheGivenSamples) {
  std::vector<int16_t> block = {10, -10, 11};
  applyGainInPlace(block, 1.5f);
  EXPECT_EQ(block, (std::vector<int16_t>{15, -15, 17}));
  applyGainInPlace(std::span(block).subspan(1), 2.0f);
  EXPECT_EQ(block, (std::vector<int16_t>{15, -30, 34}));
}

}  // namespace
