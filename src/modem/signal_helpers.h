// The receiver's shared signal helpers: the analytic downsampler from 12 000 Hz audio to the
// complex 6000 Hz signal, the power-to-decibel conversion, the frequency shift and the
// correlation against a reference.
// Receive side: capture thread (the downsampler uses four2a's plan cache).
#pragma once

#include <complex>
#include <cstdint>

namespace kvol {

// Transform length for a window of `window` samples: the smallest power of two at or above it
// (32 768 for the facade's 28 320-sample window), so the transform never cuts the window short.
int analytic_downsample_length(int window);

// c[0 .. nfft/2 - 1] receives the analytic signal of the 0 to 3000 Hz band of iwave[0 .. npts-1]
// at 6000 Hz, full scale 32767 mapping to unit amplitude. c holds at least nfft values and keeps
// its address between calls to reuse the cached plans. Stops the program when nfft is not a
// positive even length at or above npts (a caller's sizing fault).
void analytic_downsample(const std::int16_t* iwave, int npts, std::complex<float>* c, int nfft);

// 10 log10(x), floored at -99 dB for x at or below 1.259e-10 (zero and negatives included).
float power_to_db(float x);

// cb[i] = ca[i] shifted by a1 Hz, plus a2 and a3 Hz along the first and second Legendre
// polynomials over the series; cb may be ca. The first output sample is already advanced once.
void tweak_frequency(const std::complex<float>* ca, std::complex<float>* cb, int npts,
                     float fsample, const float (&a)[3]);

// Σ x(n)·conj(ref(n)) over n values.
std::complex<float> correlate(const std::complex<float>* x, const std::complex<float>* ref, int n);

}  // namespace kvol
