#include "audio/AudioLevels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The meter step shared by both readings.
float meterStep(float current, float db) {
  if (std::isnan(db)) db = -std::numeric_limits<float>::infinity();
  const float shown = std::max(db, current - kMeterFallDb);
  return std::max(shown, kLevelFloorDb);
}

}  // namespace

float peakLevelDb(std::span<const int16_t> samples) {
  int peak = 0;
  for (const int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  if (peak == 0) return kLevelFloorDb;
  return 20.0f * std::log10(static_cast<float>(peak) / 32768.0f);
}

AudioLevels::AudioLevels(float initialDb, QObject* parent)
    : QObject(parent), inputDb_(initialDb), outputDb_(initialDb) {}

void AudioLevels::setInputDb(float db) {
  if (std::isnan(db) || db == inputDb_) return;
  inputDb_ = db;
  emit inputDbChanged(db);
}

void AudioLevels::setOutputDb(float db) {
  if (std::isnan(db) || db == outputDb_) return;
  outputDb_ = db;
  emit outputDbChanged(db);
}

void AudioLevels::updateInput(float db) { setInputDb(meterStep(inputDb_, db)); }

void AudioLevels::updateOutput(float db) { setOutputDb(meterStep(outputDb_, db)); }

void applyGainInPlace(std::span<int16_t> samples, float gain) {
  if (gain == 1.0f || std::isnan(gain)) return;
  if (gain < 0.0f) gain = 0.0f;
  // A finite stand-in keeps 0 × gain at 0 while every other sample still saturates.
  gain = std::min(gain, std::numeric_limits<float>::max());
  for (int16_t& s : samples) {
    const float scaled = std::round(gain * static_cast<float>(s));
    s = static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
  }
}

std::vector<int16_t> applyGain(std::vector<int16_t> samples, float gain) {
  applyGainInPlace(samples, gain);
  return samples;
}
