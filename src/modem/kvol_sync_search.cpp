#include "modem/kvol_sync_search.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "modem/four2a.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_fatal.h"
#include "modem/kvol_vector_clones.h"

namespace kvol {
namespace {

using Complex = std::complex<float>;

constexpr int kSlotCount = 3;  // 2048, 4096, 8192 points
constexpr int kPeakHalfWidthHz = 10;
constexpr int kTimeHalfWidthColumns = 8;

// One transform length: forward A -> B, optional backward B -> C, measured plans.
struct FftSlot {
  int n = 0;
  fftwf_complex* a = nullptr;
  fftwf_complex* b = nullptr;
  fftwf_complex* c = nullptr;
  fftwf_plan forward = nullptr;
  fftwf_plan backward = nullptr;
};

struct SyncPeak {
  float frequency = 0.0f;
  int low_bin = 0;
  int high_bin = 0;
  float time = 0.0f;
};

// Everything the sync search keeps from one window to the next: the references for the current
// symbol length, the map with its mask, the transform slots, the chirp kernel of the current
// zoom, and the peaks decoded in pass 0 of the current window.
struct SyncSearchState {
  int nsps6 = 0;
  int columns = 0;
  int last_column = -1;
  std::vector<Complex> sync_refs;
  std::vector<Complex> tone_refs;  // 4 tones × nsps6, tone-major
  std::vector<float> sync_power;   // column-major: (kSyncTopBin + 1) bins per column
  std::vector<int> sync_mask;
  std::vector<float> zoom_power;  // |X|² of the zoom bins of one column
  std::vector<Complex> zoom_buffer;
  int hull_low = kSyncTopBin - 2;
  int hull_high = 3;
  bool map_valid = false;

  std::array<FftSlot, kSlotCount> slots;

  // Chirp kernel spectrum (already divided by L) and premultiplied reference, keyed by (N, k0, M).
  int kernel_n = 0;
  int kernel_k0 = -1;
  int kernel_m = 0;
  int kernel_length = 0;
  fftwf_complex* kernel = nullptr;
  Complex* premultiplied = nullptr;

  std::array<SyncPeak, kSyncPeakCapacity> peaks;
  int peak_count = 0;
};

SyncSearchState state;

int round_half_away(double x) { return static_cast<int>(std::lround(x)); }

int map_index(int bin, int column) { return column * (kSyncTopBin + 1) + bin; }

void free_chirp_kernel() {
  if (state.kernel) fftwf_free(state.kernel);
  if (state.premultiplied) fftwf_free(state.premultiplied);
  state.kernel = nullptr;
  state.premultiplied = nullptr;
  state.kernel_n = 0;
  state.kernel_k0 = -1;
  state.kernel_m = 0;
  state.kernel_length = 0;
}

// Kernel spectrum of h(j) = exp(iπj²/8192) laid out for a circular convolution of length L, and
// the reference premultiplied by exp(−i·2π·(n²/2 + n·k0)/8192), both for the zoom (n, k0, m).
bool make_chirp_kernel(int slot, int n, int k0, int m) {
  FftSlot& s = state.slots[slot];
  const int length = s.n;
  if (state.kernel_n == n && state.kernel_k0 == k0 && state.kernel_m == m &&
      state.kernel_length == length)
    return true;
  free_chirp_kernel();
  state.kernel = fftwf_alloc_complex(length);
  if (!state.kernel)
    allocation_failed(sizeof(fftwf_complex) * length, "kvol_sync_search", __LINE__);
  state.premultiplied = reinterpret_cast<Complex*>(fftwf_alloc_complex(n));
  if (!state.premultiplied)
    allocation_failed(sizeof(fftwf_complex) * n, "kvol_sync_search", __LINE__);

  const double pi = std::acos(-1.0);
  const double zoom = kSyncZoomLength;
  for (int i = 0; i < n; ++i) {
    // n² and n·k0 taken modulo the period first so that the phase keeps its precision.
    const double quad =
        static_cast<double>((static_cast<long long>(i) * i) % (2 * kSyncZoomLength));
    const double lin = static_cast<double>((static_cast<long long>(i) * k0) % kSyncZoomLength);
    const double phase = -2.0 * pi * (quad / 2.0 + lin) / zoom;
    const std::complex<double> ref(state.sync_refs[i].real(), state.sync_refs[i].imag());
    const std::complex<double> p = std::conj(ref) * std::polar(1.0, phase);
    state.premultiplied[i] = Complex(static_cast<float>(p.real()), static_cast<float>(p.imag()));
  }

  std::fill_n(&s.a[0][0], 2 * length, 0.0f);
  auto chirp = [&](int j) {
    const double quad =
        static_cast<double>((static_cast<long long>(j) * j) % (2 * kSyncZoomLength));
    return std::polar(1.0, pi * quad / zoom);
  };
  for (int j = 0; j < m; ++j) {
    const auto h = chirp(j);
    s.a[j][0] = static_cast<float>(h.real());
    s.a[j][1] = static_cast<float>(h.imag());
  }
  for (int j = 1; j < n; ++j) {
    const auto h = chirp(j);
    s.a[length - j][0] = static_cast<float>(h.real());
    s.a[length - j][1] = static_cast<float>(h.imag());
  }
  fftwf_execute_dft(s.forward, s.a, state.kernel);
  const float scale = 1.0f / static_cast<float>(length);  // the backward transform's 1/L
  for (int i = 0; i < length; ++i) {
    state.kernel[i][0] *= scale;
    state.kernel[i][1] *= scale;
  }
  state.kernel_n = n;
  state.kernel_k0 = k0;
  state.kernel_m = m;
  state.kernel_length = length;
  return true;
}

// out = x · y over n interleaved complex values; out may be x.
KVOL_VECTOR_CLONES void multiply(float* out, const float* __restrict x, const float* __restrict y,
                                 int n) {
  for (int i = 0; i < n; ++i) {
    const float xr = x[2 * i], xi = x[2 * i + 1], yr = y[2 * i], yi = y[2 * i + 1];
    out[2 * i] = xr * yr - xi * yi;
    out[2 * i + 1] = xr * yi + xi * yr;
  }
}

KVOL_VECTOR_CLONES void power(float* __restrict out, const float* __restrict x, int n) {
  for (int i = 0; i < n; ++i) out[i] = x[2 * i] * x[2 * i] + x[2 * i + 1] * x[2 * i + 1];
}

// The largest of n values (not-a-number values never win); eight lanes so that it vectorises.
KVOL_VECTOR_CLONES float largest(const float* __restrict x, int n) {
  float lane[8];
  std::fill_n(lane, 8, -1.0f);
  int i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) lane[k] = std::max(lane[k], x[i + k]);
  float best = -1.0f;
  for (; i < n; ++i) best = std::max(best, x[i]);
  for (float v : lane) best = std::max(best, v);
  return best;
}

// Weighted power 1, 2, 3, 2, 1 across five zoom bins for every hull bin of one column.
KVOL_VECTOR_CLONES void store_column(int column, int k0) {
  float* __restrict out = &state.sync_power[map_index(state.hull_low, column)];
  const float* __restrict p = state.zoom_power.data() + (state.hull_low - k0);
  const int count = state.hull_high - state.hull_low + 1;
  for (int i = 0; i < count; ++i)
    out[i] = p[i - 2] + 2.0f * p[i - 1] + 3.0f * p[i] + 2.0f * p[i + 1] + p[i + 2];
}

}  // namespace

bool search_bins(float centre, float half_width, int nfa, int nfb, bool clamp, float df, int imin,
                 int imax, int& i1, int& i2) {
  i1 = imin;
  i2 = imax;
  if (df <= 0.0f || half_width < 0.0f || imin > imax) return false;
  if (!clamp) {
    i1 = std::max(static_cast<int>((centre - half_width) / df), imin);
    i2 = std::min(static_cast<int>((centre + half_width) / df), imax);
  } else {
    if (nfa > nfb) return false;
    centre = std::clamp(centre, static_cast<float>(nfa), static_cast<float>(nfb));
    i1 = std::max({static_cast<int>(std::ceil(nfa / df)),
                   static_cast<int>((centre - half_width) / df), imin});
    i2 = std::min({static_cast<int>((centre + half_width) / df), imax,
                   static_cast<int>(std::floor(nfb / df))});
  }
  return i2 >= i1;
}

SearchRange set_search_range(int mode, float fcentre, float ftol, int nfa, int nfb) {
  SearchRange range;
  bool clamp = true;
  switch (mode) {
    case 0:
      range.centre = fcentre;
      range.half_width = ftol;
      clamp = false;
      break;
    case 1:
      range.centre = 1350.0f;
      range.half_width = 150.0f;
      break;
    case 2:
      range.centre = 1650.0f;
      range.half_width = 150.0f;
      break;
    default:
      return range;
  }
  range.ok = search_bins(range.centre, range.half_width, nfa, nfb, clamp, kSyncBinWidth, 3,
                         kSyncTopBin - 2, range.i1, range.i2);
  return range;
}

void set_sync_geometry(int nsps6) {
  if (nsps6 == state.nsps6) return;
  state.nsps6 = nsps6;
  const int frame6 = kSymbolsPerFrame * nsps6;
  const int step6 = frame6 / 4;
  state.columns = step6 / kSyncColumnStep + 1;
  state.sync_refs.assign(kSyncSymbols * nsps6, Complex());
  state.tone_refs.assign(kToneCount * nsps6, Complex());
  state.sync_power.assign(static_cast<std::size_t>(kSyncTopBin + 1) * state.columns, 0.0f);
  state.sync_mask.assign(state.sync_power.size(), 0);
  state.zoom_power.assign(kSyncZoomLength, 0.0f);
  state.zoom_buffer.assign(kSyncZoomLength, Complex());
  state.last_column = -1;
  state.map_valid = false;

  const double two_pi = 2.0 * std::acos(-1.0);
  double phase = 0.0;
  for (int m = 0; m < kSyncSymbols; ++m) {
    // Tone k sits k tone spacings (kRxSignalRate / nsps6 Hz) above tone 0.
    const double dphi = two_pi * kSyncTones[m] * (kRxSignalRate / nsps6) / kRxSignalRate;
    for (int j = 0; j < nsps6; ++j) {
      state.sync_refs[m * nsps6 + j] =
          Complex(static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase)));
      phase = std::fmod(phase + dphi, two_pi);
    }
  }
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < nsps6; ++j) {
      const double p = two_pi * k * j / nsps6;
      state.tone_refs[k * nsps6 + j] =
          Complex(static_cast<float>(std::cos(p)), static_cast<float>(std::sin(p)));
    }
  // The kernel's reference changed with the symbol length.
  free_chirp_kernel();
}

std::span<const std::complex<float>> sync_refs() { return state.sync_refs; }

std::span<const std::complex<float>> tone_ref(int k) {
  return std::span<const Complex>(state.tone_refs).subspan(k * state.nsps6, state.nsps6);
}

void set_sync_hull(float fcentre, float ftol, int nfa, int nfb) {
  state.hull_low = kSyncTopBin - 2;
  state.hull_high = 3;
  bool any = false;
  for (int mode = 0; mode < 3; ++mode) {
    const SearchRange range = set_search_range(mode, fcentre, ftol, nfa, nfb);
    if (!range.ok) continue;
    state.hull_low = std::min(state.hull_low, range.i1);
    state.hull_high = std::max(state.hull_high, range.i2);
    any = true;
  }
  if (!any) {
    state.hull_low = 1;
    state.hull_high = 0;
  }
  state.map_valid = false;
}

void sync_zoom_dft(std::span<const std::complex<float>> signal) {
  const int n = kSyncSymbols * state.nsps6;
  const int len = static_cast<int>(signal.size());
  const int k0 = state.hull_low - 2;
  const int m = state.hull_high - state.hull_low + 5;
  state.last_column = state.columns - 1;
  state.map_valid = true;
  if (m < 5 || n == 0) return;

  int length = 1;
  while (length < n + m - 1) length *= 2;
  int log2n = 0;
  const bool chirp =
      length <= 4096 && get_fft_slot(length, 1, log2n) && make_chirp_kernel(log2n - 11, n, k0, m);
  const bool direct = !chirp && get_fft_slot(kSyncZoomLength, 0, log2n);

  if (chirp) {
    FftSlot& s = state.slots[log2n - 11];
    std::fill(&s.a[0][0] + 2 * n, &s.a[0][0] + 2 * s.n, 0.0f);
  }
  const Complex* refs = state.sync_refs.data();
  for (int column = 0; column < state.columns; ++column) {
    const int start = kSyncColumnStep * column;
    const int valid = std::clamp(len - start, 0, n);
    const Complex* x = signal.data() + start;
    if (chirp) {
      FftSlot& s = state.slots[log2n - 11];
      float* a = &s.a[0][0];
      multiply(a, reinterpret_cast<const float*>(x),
               reinterpret_cast<const float*>(state.premultiplied), valid);
      if (valid < n) std::fill(a + 2 * valid, a + 2 * n, 0.0f);
      fftwf_execute(s.forward);
      multiply(&s.b[0][0], &s.b[0][0], &state.kernel[0][0], s.n);
      fftwf_execute(s.backward);
      power(state.zoom_power.data(), &s.c[0][0], m);
    } else {
      fftwf_complex* a = nullptr;
      if (direct) a = state.slots[log2n - 11].a;
      Complex* buffer = direct ? reinterpret_cast<Complex*>(a) : state.zoom_buffer.data();
      for (int i = 0; i < valid; ++i) buffer[i] = x[i] * std::conj(refs[i]);
      std::fill(buffer + valid, buffer + kSyncZoomLength, Complex());
      const Complex* spectrum = buffer;
      if (direct) {
        FftSlot& s = state.slots[log2n - 11];
        fftwf_execute(s.forward);
        spectrum = reinterpret_cast<const Complex*>(s.b);
      } else {
        four2a(state.zoom_buffer.data(), kSyncZoomLength, 1, -1, 1);
      }
      for (int i = 0; i < m; ++i) state.zoom_power[i] = std::norm(spectrum[k0 + i]);
    }
    store_column(column, k0);
  }
}

bool sync_map_valid() { return state.map_valid; }

void invalidate_sync_map() { state.map_valid = false; }

void begin_candidate_pass(int pass, const SearchRange& range) {
  if (!range.ok || state.columns == 0) return;
  for (int column = 0; column < state.columns; ++column) {
    if (pass == 0) {
      int* mask = &state.sync_mask[map_index(0, column)];
      std::fill(mask + range.i1, mask + range.i2 + 1, 1);
      continue;
    }
    float* power = &state.sync_power[map_index(0, column)];
    for (int i = 0; i < state.peak_count; ++i) {
      const int lo = std::max(state.peaks[i].low_bin, range.i1);
      const int hi = std::min(state.peaks[i].high_bin, range.i2);
      if (lo <= hi) std::fill(power + lo, power + hi + 1, 0.0f);
    }
  }
}

bool pick_sync_candidate(int pass, const SearchRange& range, float& t, float& f) {
  if (!range.ok || state.last_column < 0) return false;
  float best = -1.0f;
  int best_column = -1;
  int best_bin = -1;
  for (int column = 0; column <= state.last_column; ++column) {
    const float* power = &state.sync_power[map_index(0, column)];
    const int* mask = &state.sync_mask[map_index(0, column)];
    // Values that are not numbers never compare greater, so they are skipped.
    if (pass == 0) {
      for (int bin = range.i1; bin <= range.i2; ++bin)
        if (mask[bin] == 1 && power[bin] > best) {
          best = power[bin];
          best_column = column;
          best_bin = bin;
        }
    } else if (largest(power + range.i1, range.i2 - range.i1 + 1) > best) {
      for (int bin = range.i1; bin <= range.i2; ++bin)
        if (power[bin] > best) {
          best = power[bin];
          best_column = column;
          best_bin = bin;
        }
    }
  }
  if (best_column < 0) return false;
  const int c_lo = std::max(0, best_column - kTimeHalfWidthColumns);
  const int c_hi = std::min(state.last_column, best_column + kTimeHalfWidthColumns);
  const int half = round_half_away(kPeakHalfWidthHz / kSyncBinWidth);
  const int b_lo = std::max(range.i1, best_bin - half);
  const int b_hi = std::min(range.i2, best_bin + half);
  for (int column = c_lo; column <= c_hi; ++column) {
    if (pass == 0) {
      int* mask = &state.sync_mask[map_index(0, column)];
      std::fill(mask + b_lo, mask + b_hi + 1, 0);
    } else {
      float* power = &state.sync_power[map_index(0, column)];
      std::fill(power + b_lo, power + b_hi + 1, 0.0f);
    }
  }
  t = static_cast<float>(kSyncColumnStep * best_column) / kRxSignalRate;
  f = static_cast<float>(best_bin) * kSyncBinWidth;
  return true;
}

void clear_sync_peaks() { state.peak_count = 0; }

void record_sync_peak(float frequency, float time) {
  if (state.peak_count >= kSyncPeakCapacity) return;
  const int half = round_half_away(kPeakHalfWidthHz / kSyncBinWidth);
  const int centre = round_half_away(frequency / kSyncBinWidth);
  state.peaks[state.peak_count++] = {frequency, centre - half, centre + half, time};
}

bool near_sync_peak(float frequency, float time) {
  for (int i = 0; i < state.peak_count; ++i)
    if (std::fabs(state.peaks[i].frequency - frequency) < 3.0f &&
        std::fabs(state.peaks[i].time - time) < 0.05f)
      return true;
  return false;
}

int get_fft_slot(int n, int with_backward, int& log2n) {
  log2n = 0;
  int bits = 0;
  if (n == 2048)
    bits = 11;
  else if (n == 4096)
    bits = 12;
  else if (n == 8192)
    bits = 13;
  else
    return 0;
  make_fftw_planner_thread_safe();
  const int index = bits - 11;
  FftSlot& s = state.slots[index];
  if (!s.forward) {
    s.n = n;
    s.a = fftwf_alloc_complex(n);
    s.b = fftwf_alloc_complex(n);
    s.c = fftwf_alloc_complex(n);
    if (s.a && s.b && s.c)
      s.forward = fftwf_plan_dft_1d(n, s.a, s.b, FFTW_FORWARD, FFTW_MEASURE | FFTW_PRESERVE_INPUT);
    if (!s.forward) {
      free_fft_slot(index);
      return 0;
    }
  }
  if (with_backward && !s.backward) {
    s.backward = fftwf_plan_dft_1d(n, s.b, s.c, FFTW_BACKWARD, FFTW_MEASURE);
    if (!s.backward) {
      free_fft_slot(index);
      return 0;
    }
  }
  log2n = bits;
  return 1;
}

void free_fft_slot(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  FftSlot& s = state.slots[slot];
  if (s.forward) fftwf_destroy_plan(s.forward);
  if (s.backward) fftwf_destroy_plan(s.backward);
  if (s.a) fftwf_free(s.a);
  if (s.b) fftwf_free(s.b);
  if (s.c) fftwf_free(s.c);
  s = FftSlot{};
}

void kvol_decoder_release() {
  for (int slot = 0; slot < kSlotCount; ++slot) free_fft_slot(slot);
  free_chirp_kernel();
}

}  // namespace kvol
