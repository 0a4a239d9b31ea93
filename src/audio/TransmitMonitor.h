// An attenuated 12 000 Hz copy of the outgoing transmit audio, mixed block by block into the
// audio that feeds the waterfall so that one's own transmission shows there (the decoder never
// gets it). The main thread loads and clears it; the capture thread mixes. Each call holds the
// monitor's own lock only while it touches the copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

class TransmitMonitor final {
 public:
  // 48 000 Hz transmit audio to 12 000 Hz: every fourth sample, unfiltered.
  static constexpr std::size_t kDecimation = 4;
  // About -34 dB, so the copy shows without drowning what is received.
  static constexpr float kAttenuation = 0.02f;

  // Replaces the copy with the given 48 000 Hz samples and starts mixing from their beginning.
  // Main thread; allocates, but not under the lock.
  void load(std::span<const int16_t> transmitSamples);

  // Adds the next part of the copy to the block in place (truncated toward zero, clamped to 16
  // bits) and moves on by the block's length; a block after the copy is used up stays as it is.
  // Capture thread; allocates nothing.
  void mix(std::span<int16_t> block);

  // Empties the copy at the end of a transmission. Main thread.
  void clear();

 private:
  std::mutex mutex_;
  std::vector<float> samples_;  // guarded by mutex_
  std::size_t position_ = 0;    // guarded by mutex_; the next sample to mix
};
