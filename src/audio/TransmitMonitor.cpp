#include "audio/TransmitMonitor.h"

#include <algorithm>
#include <utility>

void TransmitMonitor::load(std::span<const int16_t> transmitSamples) {
  std::vector<float> copy;
  copy.reserve((transmitSamples.size() + kDecimation - 1) / kDecimation);
  for (std::size_t i = 0; i < transmitSamples.size(); i += kDecimation) {
    copy.push_back(static_cast<float>(transmitSamples[i]) * kAttenuation);
  }
  {
    std::lock_guard lock(mutex_);
    std::swap(samples_, copy);
    position_ = 0;
  }
  // The previous copy is freed here, outside the lock.
}

void TransmitMonitor::mix(std::span<int16_t> block) {
  std::lock_guard lock(mutex_);
  if (position_ >= samples_.size()) return;
  const std::size_t n = std::min(samples_.size() - position_, block.size());
  const float* monitor = samples_.data() + position_;
  for (std::size_t i = 0; i < n; ++i) {
    const float sum = static_cast<float>(block[i]) + monitor[i];
    block[i] = static_cast<int16_t>(std::clamp(sum, -32768.0f, 32767.0f));
  }
  position_ += n;
}

void TransmitMonitor::clear() {
  std::vector<float> old;
  {
    std::lock_guard lock(mutex_);
    std::swap(samples_, old);
    position_ = 0;
  }
}
