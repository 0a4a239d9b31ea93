#include "modem/signal_helpers.h"

#include <cmath>
#include <numbers>

#include "modem/four2a.h"
#include "modem/kvol_fatal.h"
#include "modem/kvol_vector_clones.h"

namespace kvol {

int analytic_downsample_length(int window) {
  int length = 1;
  while (length < window) length *= 2;
  return length;
}

void analytic_downsample(const std::int16_t* iwave, int npts, std::complex<float>* c, int nfft) {
  if (nfft <= 0 || nfft % 2 != 0 || npts < 0 || npts > nfft) {
    fatal("analytic downsampler needs an even transform length at or above its input");
  }
  const float scale = 2.0f / (float(nfft) * 32767.0f);
  for (int i = 0; i < npts; ++i) c[i] = {float(iwave[i]) * scale, 0.0f};
  for (int i = npts; i < nfft; ++i) c[i] = {};

  four2a(c, nfft, 1, -1, 1);
  // Keep 0 to 3000 Hz: the upper half of the positive spectrum would alias into the
  // negative frequencies of the half-rate signal.
  const int quarter = nfft / 4;
  const int half = nfft / 2;
  if (quarter < half - 1) {
    for (int i = quarter + 1; i <= half - 1; ++i) c[i] = {};
  }
  c[0] *= 0.5f;
  four2a(c, half, 1, 1, 1);

  for (int i = npts; i < nfft; ++i) c[i] = {};
}

float power_to_db(float x) { return x > 1.259e-10f ? 10.0f * std::log10(x) : -99.0f; }

void tweak_frequency(const std::complex<float>* ca, std::complex<float>* cb, int npts,
                     float fsample, const float (&a)[3]) {
  constexpr float two_pi = 2.0f * std::numbers::pi_v<float>;
  std::complex<float> w{1.0f, 0.0f};
  if (a[1] == 0.0f && a[2] == 0.0f) {
    const float dphi = two_pi * a[0] / fsample;
    const std::complex<float> step{std::cos(dphi), std::sin(dphi)};
    for (int i = 0; i < npts; ++i) {
      w *= step;
      cb[i] = w * ca[i];
    }
    return;
  }
  const float x0 = 0.5f * float(npts + 1);
  for (int i = 0; i < npts; ++i) {
    const float x = (float(i + 1) - x0) * 2.0f / float(npts);
    const float p2 = 1.5f * x * x - 0.5f;
    const float dphi = (a[0] + a[1] * x + a[2] * p2) * two_pi / fsample;
    w *= std::complex<float>{std::cos(dphi), std::sin(dphi)};
    cb[i] = w * ca[i];
  }
}

KVOL_VECTOR_CLONES std::complex<float> correlate(const std::complex<float>* x,
                                                 const std::complex<float>* ref, int n) {
  const float* __restrict xs = reinterpret_cast<const float*>(x);
  const float* __restrict rs = reinterpret_cast<const float*>(ref);
  float re = 0.0f, im = 0.0f;
  for (int i = 0; i < n; ++i) {
    re += xs[2 * i] * rs[2 * i] + xs[2 * i + 1] * rs[2 * i + 1];
    im += xs[2 * i + 1] * rs[2 * i] - xs[2 * i] * rs[2 * i + 1];
  }
  return {re, im};
}

}  // namespace kvol
