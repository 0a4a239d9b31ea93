// Turns received audio into waterfall rows: every 480 samples it transforms the latest fftSize
// samples (Hann window, FFTW) and returns the levels in dB of the bins between two frequencies.
// Used from one thread at a time, the capture thread; it has no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class AudioSpectrum final {
 public:
  // 40 ms at 12 000 Hz: 25 rows a second.
  static constexpr std::size_t kSamplesPerRow = 480;

  // fftSize must be a power of two from 1 to 2^30 and sampleRate at least 1; anything else throws
  // std::invalid_argument. Plans its transform once, here.
  AudioSpectrum(std::size_t fftSize, int sampleRate);
  ~AudioSpectrum();
  AudioSpectrum(const AudioSpectrum&) = delete;
  AudioSpectrum& operator=(const AudioSpectrum&) = delete;

  // Takes in a block of samples; when a row is due (one per block at most, however many
  // 480-sample boundaries it crosses) writes into row one value per bin from lowHz's bin to
  // highHz's bin inclusive, 20·log10(|X[k]| / N + 1e-9), and returns true. The row is empty when
  // the limits are swapped; limits outside 0 … sampleRate / 2 are clamped to the bins there are.
  // Allocates nothing once row has room for the requested bins.
  bool process(std::span<const int16_t> samples, int lowHz, int highHz, std::vector<float>& row);

  // The same, returning the row, or nothing when none is due.
  std::optional<std::vector<float>> process(std::span<const int16_t> samples, int lowHz,
                                            int highHz);

  std::size_t fftSize() const { return fftSize_; }
  int sampleRate() const { return sampleRate_; }

 private:
  struct Fft;

  const std::size_t fftSize_;
  const int sampleRate_;
  std::vector<float> ring_;  // the latest fftSize samples scaled to -1 … 1, written circularly
  std::size_t ringPos_ = 0;  // the next slot, which is also the oldest sample
  std::size_t samplesSinceUpdate_ = 0;
  std::vector<float> window_;
  std::unique_ptr<Fft> fft_;
};
