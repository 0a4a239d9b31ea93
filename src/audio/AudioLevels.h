// Input and output meter readings, the live input gain and the gain that scales 16-bit audio.
// AudioLevels lives on the main thread; LiveGain is written there and read on the capture
// thread; applyGain runs on any thread.
#pragma once

#include <QObject>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

// Silence and idle meters read this; no reading goes below it.
inline constexpr float kLevelFloorDb = -60.0f;
// How far a meter may fall per update, so a reading decays instead of jumping down.
inline constexpr float kMeterFallDb = 1.5f;

// 20·log10(peak / 32768) of the largest absolute sample (-32768 counts as 32768), in single
// precision; kLevelFloorDb when the block is empty or silent. Not floored otherwise: the meters
// floor what they show. Any thread.
float peakLevelDb(std::span<const int16_t> samples);

// The linear factor of a gain in dB, 10^(dB/20). Any thread.
inline float linearGain(double db) { return float(std::pow(10.0, db / 20.0)); }

// The meter readings the settings window shows. Main thread only.
class AudioLevels final : public QObject {
  Q_OBJECT
  Q_PROPERTY(float inputDb READ inputDb WRITE setInputDb NOTIFY inputDbChanged)
  Q_PROPERTY(float outputDb READ outputDb WRITE setOutputDb NOTIFY outputDbChanged)

 public:
  explicit AudioLevels(float initialDb = kLevelFloorDb, QObject* parent = nullptr);

  float inputDb() const { return inputDb_; }
  float outputDb() const { return outputDb_; }

  // Store a reading as it is; observers hear of it only when it differs. NaN is ignored.
  void setInputDb(float db);
  void setOutputDb(float db);

  // Meter step: rise at once to a louder level, fall by at most kMeterFallDb per call, never
  // below kLevelFloorDb. A NaN level counts as silence.
  void updateInput(float db);
  void updateOutput(float db);

 signals:
  void inputDbChanged(float db);
  void outputDbChanged(float db);

 private:
  float inputDb_;
  float outputDb_;
};

// The linear input gain: the main thread sets it (10^(dB/20)), the capture thread reads it once
// per block. 1.0 at first.
class LiveGain final {
 public:
  float linear() const { return linear_.load(std::memory_order_relaxed); }
  void setLinear(float gain) { linear_.store(gain, std::memory_order_relaxed); }

 private:
  std::atomic<float> linear_{1.0f};
};

// Scales each sample by gain, rounding halves away from zero and clamping to 16 bits; exactly
// 1.0 leaves the samples untouched. Gains outside the meaningful range behave safely: NaN leaves
// the samples as they are, a negative gain silences them, +infinity saturates them. Any thread;
// the in-place form allocates nothing.
void applyGainInPlace(std::span<int16_t> samples, float gain);
std::vector<int16_t> applyGain(std::vector<int16_t> samples, float gain);
