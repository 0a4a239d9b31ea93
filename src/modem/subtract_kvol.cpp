#include "modem/subtract_kvol.h"

#include <fftw3.h>

#include <cmath>
#include <memory>
#include <numbers>

#include "modem/four2a.h"
#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_fatal.h"
#include "modem/signal_helpers.h"

namespace kvol {
namespace {

constexpr float kSampleRate = kRxSignalRate;
constexpr float kBt = 2.0f;

struct FftwFree {
  void operator()(std::complex<float>* p) const { fftwf_free(p); }
};
using AlignedComplex = std::unique_ptr<std::complex<float>[], FftwFree>;

// Work arrays and the smoothing filter, kept between calls and made again only when the sizes
// change, so the plan cache sees the same few arrays every time. Receive thread only.
struct SubtractState {
  int nsym = 0;
  int nsps = 0;
  int nfft = 0;
  AlignedComplex cref;     // the rebuilt frame, nsym * nsps
  AlignedComplex product;  // signal times conj(cref), then its smoothed copy in place
  AlignedComplex filter;   // spectrum of the normalised raised-cosine window
} state;

AlignedComplex allocate(int count) {
  auto* p = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(std::size_t(count)));
  if (p == nullptr) allocation_failed(std::size_t(count) * sizeof(fftwf_complex));
  return AlignedComplex(p);
}

// The raised-cosine window w(j) = cos^2(pi j / (2 nsps)), j = -nsps..nsps, normalised to unit
// sum, laid out so that tap w(j) sits at circular lag j - 1, and transformed once.
void make_filter(int nsps, int nfft) {
  std::complex<float>* filter = state.filter.get();
  for (int i = 0; i < nfft; ++i) filter[i] = {};
  double sum = 0.0;
  for (int j = -nsps; j <= nsps; ++j) {
    const double c = std::cos(std::numbers::pi * j / (2.0 * nsps));
    sum += c * c;
  }
  for (int j = -nsps; j <= nsps; ++j) {
    const double c = std::cos(std::numbers::pi * j / (2.0 * nsps));
    const int lag = ((j - 1) % nfft + nfft) % nfft;
    filter[lag] = {float(c * c / sum), 0.0f};
  }
  four2a(filter, nfft, 1, -1, 1);
  const float scale = 1.0f / float(nfft);
  for (int i = 0; i < nfft; ++i) filter[i] *= scale;
}

void prepare(int nsym, int nsps, int nfft) {
  if (state.nsym == nsym && state.nsps == nsps && state.nfft == nfft) return;
  state.cref = allocate(nsym * nsps);
  state.product = allocate(nfft);
  state.filter = allocate(nfft);
  make_filter(nsps, nfft);
  state.nsym = nsym;
  state.nsps = nsps;
  state.nfft = nfft;
}

}  // namespace

void subtract_kvol(std::span<std::complex<float>> c, int nfft, std::span<const std::int32_t> tones,
                   int nsps, float f0, float dt) {
  const int nsym = int(tones.size());
  if (nsym < 1 || nsps < 1 || c.empty() || !std::isfinite(f0) || !std::isfinite(dt)) return;
  const long long frame = static_cast<long long>(nsym) * nsps;
  if (frame > (1LL << 24)) return;  // far beyond any frame the receiver rebuilds
  // The smoothing must not wrap around onto the frame.
  const int needed = int(frame) + 2 * nsps;
  if (nfft < needed) nfft = analytic_downsample_length(needed);
  prepare(nsym, nsps, nfft);

  const int n = int(frame);
  std::complex<float>* cref = state.cref.get();
  if (gen_kvolwave(tones, nsps, kBt, kSampleRate, f0, std::span(cref, std::size_t(n))) < n) return;

  const double start_exact = std::round(double(dt) * kSampleRate);
  const long long npts = static_cast<long long>(c.size());
  if (start_exact >= double(npts) || start_exact + n <= 0.0) return;  // nothing overlaps
  const long long start = static_cast<long long>(start_exact);
  const int first = int(std::max(0LL, -start));                // first frame sample inside c
  const int last = int(std::min<long long>(n, npts - start));  // one past the last

  std::complex<float>* p = state.product.get();
  for (int i = 0; i < nfft; ++i) p[i] = {};
  for (int i = first; i < last; ++i) p[i] = c[std::size_t(start + i)] * std::conj(cref[i]);

  four2a(p, nfft, 1, -1, 1);
  const std::complex<float>* filter = state.filter.get();
  for (int i = 0; i < nfft; ++i) p[i] *= filter[i];
  four2a(p, nfft, 1, 1, 1);

  for (int i = first; i < last; ++i) c[std::size_t(start + i)] -= p[i] * cref[i];
}

}  // namespace kvol
