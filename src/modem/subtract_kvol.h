// Removes a decoded frame from the receiver's complex 6000 Hz signal: the frame is rebuilt from
// its tones, its slowly varying amplitude estimated by smoothed correlation, and amplitude times
// waveform subtracted. Receive side: capture thread, one call at a time.
#pragma once

#include <complex>
#include <cstdint>
#include <span>

namespace kvol {

// c: the valid samples of the signal, changed in place; nfft: the smoothing transform length
// (raised to the next power of two at or above the frame plus two symbols when shorter);
// tones: the frame's tones (59 for a frame); nsps: samples per symbol at 6000 Hz; f0: tone-0
// frequency in Hz; dt: frame start in s from c's first sample. Parts of the frame outside c
// are neither read nor changed.
void subtract_kvol(std::span<std::complex<float>> c, int nfft, std::span<const std::int32_t> tones,
                   int nsps, float f0, float dt);

}  // namespace kvol
