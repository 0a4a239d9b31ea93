#include "audio/AudioSpectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <numbers>
#include <stdexcept>

namespace {

// The modem plans too, on another thread; FFTW's planner is only safe once this has run.
void makeFftwPlannerThreadSafe() {
  static std::once_flag once;
  std::call_once(once, [] { fftwf_make_planner_thread_safe(); });
}

// Keeps 20·log10 finite for silence: a silent bin reads -180 dB.
constexpr float kMagnitudeFloor = 1e-9f;

}  // namespace

// The real-to-complex transform of the windowed ring and its buffers, made once.
struct AudioSpectrum::Fft {
  explicit Fft(std::size_t size)
      : input(fftwf_alloc_real(size)), output(fftwf_alloc_complex(size / 2 + 1)) {
    if (input != nullptr && output != nullptr) {
      makeFftwPlannerThreadSafe();
      plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), input, output, FFTW_ESTIMATE);
    }
    if (plan == nullptr) {
      release();
      throw std::runtime_error("FFTW could not set up the spectrum transform");
    }
  }
  ~Fft() { release(); }
  void release() {
    if (plan != nullptr) fftwf_destroy_plan(plan);
    fftwf_free(output);
    fftwf_free(input);
    plan = nullptr;
    output = nullptr;
    input = nullptr;
  }
  Fft(const Fft&) = delete;
  Fft& operator=(const Fft&) = delete;

  float* input;
  fftwf_complex* output;
  fftwf_plan plan = nullptr;
};

AudioSpectrum::AudioSpectrum(std::size_t fftSize, int sampleRate)
    : fftSize_(fftSize), sampleRate_(sampleRate) {
  if (fftSize == 0 || !std::has_single_bit(fftSize) || fftSize > (std::size_t{1} << 30)) {
    throw std::invalid_argument("spectrum size must be a power of two up to 2^30");
  }
  if (sampleRate < 1) throw std::invalid_argument("spectrum sample rate must be positive");
  ring_.assign(fftSize, 0.0f);
  window_.resize(fftSize);
  for (std::size_t n = 0; n < fftSize; ++n) {
    const double phase = 2.0 * std::numbers::pi * static_cast<double>(n) / fftSize;
    window_[n] = static_cast<float>(0.5 * (1.0 - std::cos(phase)));
  }
  // A single point has no bins to show.
  if (fftSize >= 2) fft_ = std::make_unique<Fft>(fftSize);
}

AudioSpectrum::~AudioSpectrum() = default;

bool AudioSpectrum::process(std::span<const int16_t> samples, int lowHz, int highHz,
                            std::vector<float>& row) {
  if (samples.empty()) return false;

  // Only the last fftSize samples of a long block stay in the ring.
  const std::size_t skipped = samples.size() > fftSize_ ? samples.size() - fftSize_ : 0;
  ringPos_ = (ringPos_ + skipped) % fftSize_;
  for (std::size_t i = skipped; i < samples.size(); ++i) {
    ring_[ringPos_] = static_cast<float>(samples[i]) / 32768.0f;
    if (++ringPos_ == fftSize_) ringPos_ = 0;
  }
  const std::size_t taken = samplesSinceUpdate_ + samples.size();
  samplesSinceUpdate_ = taken % kSamplesPerRow;
  if (taken < kSamplesPerRow) return false;

  const std::size_t binCount = fftSize_ / 2;
  if (binCount == 0) {
    row.clear();
    return true;
  }
  const float binWidth = static_cast<float>(sampleRate_) / static_cast<float>(fftSize_);
  const float lastBin = static_cast<float>(binCount - 1);
  const auto lowBin = static_cast<std::size_t>(
      std::clamp(std::trunc(static_cast<float>(lowHz) / binWidth), 0.0f, lastBin));
  const auto highBin = static_cast<std::size_t>(
      std::clamp(std::ceil(static_cast<float>(highHz) / binWidth), 0.0f, lastBin));
  if (highBin < lowBin) {
    row.clear();
    return true;
  }

  // Oldest sample first: the ring from ringPos_ to its end, then from its start.
  float* x = fft_->input;
  const std::size_t head = fftSize_ - ringPos_;
  for (std::size_t i = 0; i < head; ++i) x[i] = ring_[ringPos_ + i] * window_[i];
  for (std::size_t i = 0; i < ringPos_; ++i) x[head + i] = ring_[i] * window_[head + i];
  fftwf_execute(fft_->plan);

  const fftwf_complex* spectrum = fft_->output;
  const float size = static_cast<float>(fftSize_);
  row.resize(highBin - lowBin + 1);
  for (std::size_t k = lowBin; k <= highBin; ++k) {
    // Bin 0 carries DC and Nyquist together, as a packed real transform would.
    const float re = spectrum[k][0];
    const float im = k == 0 ? spectrum[binCount][0] : spectrum[k][1];
    const float magnitude = std::sqrt(re * re + im * im);
    row[k - lowBin] = 20.0f * std::log10(magnitude / size + kMagnitudeFloor);
  }
  return true;
}

std::optional<std::vector<float>> AudioSpectrum::process(std::span<const int16_t> samples,
                                                         int lowHz, int highHz) {
  std::vector<float> row;
  if (!process(samples, lowHz, highHz, row)) return std::nullopt;
  return row;
}
