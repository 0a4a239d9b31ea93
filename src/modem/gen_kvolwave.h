// Continuous-phase, Gaussian-smoothed four-tone FSK synthesis of a tone sequence: real output
// for transmission at 48 000 Hz, complex output for the receiver's signal subtraction.
//
// Callable from any thread. The pulse cache is per thread, so transmission and the receiver's
// subtraction, on different threads, never share it and never rebuild each other's pulse.
#pragma once

#include <complex>
#include <cstdint>
#include <span>

namespace kvol {

// Writes the waveform of the tones into the output, whose size is the requested nwave, and
// returns the number of samples written (0 leaves the output untouched). At most
// (tones.size() + 1) * nsps samples are made; any output beyond that is cleared. Tone t sits
// at f0 + t * fsample / nsps. nsps, bt and fsample must be positive and finite and f0 finite;
// otherwise, or when the work would exceed 2^26 samples, the result is 0.
int gen_kvolwave(std::span<const std::int32_t> tones, int nsps, float bt, float fsample, float f0,
                 std::span<float> wave);
int gen_kvolwave(std::span<const std::int32_t> tones, int nsps, float bt, float fsample, float f0,
                 std::span<std::complex<float>> cwave);

// The Gaussian frequency pulse at t symbol periods from its centre.
float gaussian_pulse(float bt, float t);

}  // namespace kvol
