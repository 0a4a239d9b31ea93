#include "audio/CaptureConverter.h"

#include <soxr.h>

CaptureConverter::CaptureConverter(uint32_t inputRate, uint32_t maxBlockFrames) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  if (inputRate > 0) {
    resampler_ = soxr_create(inputRate, kOutputRate, 1, &error, &io, &quality, nullptr);
    if (error) resampler_ = nullptr;
    // 2048 frames at 48 000 Hz give 512 samples; 16 more absorb the converter's unevenness.
    output_.resize(static_cast<size_t>(double(kOutputRate) / inputRate * maxBlockFrames) + 16);
  }
}

CaptureConverter::~CaptureConverter() {
  if (resampler_) soxr_delete(resampler_);
}

std::span<const int16_t> CaptureConverter::convert(std::span<const float> block) {
  if (!resampler_) return {};
  size_t consumed = 0;
  size_t produced = 0;
  if (soxr_process(resampler_, block.data(), block.size(), &consumed, output_.data(),
                   output_.size(), &produced) != nullptr) {
    return {};
  }
  return std::span<const int16_t>(output_.data(), produced);
}
