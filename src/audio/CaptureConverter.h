// Turns captured blocks (channel 0, float, at the input's own rate) into received audio: 16-bit
// mono at 12 000 Hz, through libsoxr with its state kept from block to block. Capture thread;
// allocates nothing per block once made.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

typedef struct soxr* soxr_t;  // as <soxr.h> declares it

class CaptureConverter {
 public:
  static constexpr uint32_t kOutputRate = 12000;

  // Room for the output of blocks of up to maxBlockFrames input frames.
  CaptureConverter(uint32_t inputRate, uint32_t maxBlockFrames);
  ~CaptureConverter();
  CaptureConverter(const CaptureConverter&) = delete;
  CaptureConverter& operator=(const CaptureConverter&) = delete;

  // False when soxr refused the rate; convert then gives nothing.
  bool isValid() const { return resampler_ != nullptr; }

  // The converted samples, valid until the next call. The filter's delay (about 72 ms) is held
  // back at first, so an early block may give nothing; the converter hands out what it has up
  // to its capacity, so block sizes vary around the exact ratio.
  std::span<const int16_t> convert(std::span<const float> block);

 private:
  soxr_t resampler_ = nullptr;
  std::vector<int16_t> output_;
};
