#include "modem/kvol_fine_sync.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "modem/kvol_constants.h"
#include "modem/kvol_sync_search.h"
#include "modem/kvol_vector_clones.h"
#include "modem/signal_helpers.h"

namespace kvol {
namespace {

using Complex = std::complex<float>;

// The trial stretch and its eleven frequency offsets, kept between candidates and grown only when
// a longer stretch comes.
struct FineSyncState {
  std::vector<Complex> shifted;          // the stretch shifted down by the candidate frequency
  std::vector<Complex> trial;            // the same moved to one trial frequency
  std::vector<Complex> trial_rotations;  // per trial offset, e^(i·2π·0.5·trial·n/6000)
  int trial_span = 0;
};

FineSyncState state;

int round_half_away(double x) { return static_cast<int>(std::lround(x)); }

// out = x · y over n values.
KVOL_VECTOR_CLONES void multiply(Complex* out, const Complex* x, const Complex* y, int n) {
  float* __restrict o = reinterpret_cast<float*>(out);
  const float* __restrict xs = reinterpret_cast<const float*>(x);
  const float* __restrict ys = reinterpret_cast<const float*>(y);
  for (int i = 0; i < n; ++i) {
    o[2 * i] = xs[2 * i] * ys[2 * i] - xs[2 * i + 1] * ys[2 * i + 1];
    o[2 * i + 1] = xs[2 * i] * ys[2 * i + 1] + xs[2 * i + 1] * ys[2 * i];
  }
}

// The eleven trial offsets of fine sync as phasor series, made once per stretch length.
void make_trial_rotations(int span) {
  if (span <= state.trial_span) return;
  state.trial_span = span;
  state.shifted.assign(span, Complex());
  state.trial.assign(span, Complex());
  state.trial_rotations.assign(11 * static_cast<std::size_t>(span), Complex());
  const double two_pi = 2.0 * std::acos(-1.0);
  for (int trial = -5; trial <= 5; ++trial)
    for (int i = 0; i < span; ++i)
      state.trial_rotations[(trial + 5) * span + i] =
          std::polar(1.0f, static_cast<float>(two_pi * 0.5 * trial * (i + 1) / kRxSignalRate));
}

// The frequency left over at one fine-sync trial and start (offset into the trial stretch), from
// the phase slope of the sync symbols against the reference; 0 when the phases do not lie on a
// line or the slope is beyond 0.5 Hz.
float residual_frequency(int trial, int offset, int nsps6) {
  Complex* w = state.trial.data();
  const int span = state.trial_span;
  multiply(w, state.shifted.data(), &state.trial_rotations[(trial + 5) * span], span);
  const std::span<const Complex> refs = sync_refs();
  std::array<double, kSyncSymbols> phase{};
  for (int m = 0; m < kSyncSymbols; ++m) {
    const Complex z = correlate(w + offset + m * nsps6, refs.data() + m * nsps6, nsps6);
    phase[m] = std::atan2(z.imag(), z.real());
  }
  const double pi = std::acos(-1.0);
  for (int m = 1; m < kSyncSymbols; ++m) {
    double step = phase[m] - phase[m - 1];
    step -= 2.0 * pi * std::round(step / (2.0 * pi));
    phase[m] = phase[m - 1] + step;
  }
  double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
  for (int m = 0; m < kSyncSymbols; ++m) {
    const double x = m - 6;
    sx += x;
    sy += phase[m];
    sxx += x * x;
    sxy += x * phase[m];
  }
  const double count = kSyncSymbols;
  const double slope = (count * sxy - sx * sy) / (count * sxx - sx * sx);
  const double intercept = (sy - slope * sx) / count;
  double residual = 0.0;
  for (int m = 0; m < kSyncSymbols; ++m) {
    const double r = phase[m] - (intercept + slope * (m - 6));
    residual += r * r;
  }
  const double rms = std::sqrt(residual / count);
  const double offset_hz = slope * kRxSignalRate / (2.0 * pi * nsps6);
  return rms < 1.0 && std::fabs(offset_hz) <= 0.5 ? static_cast<float>(offset_hz) : 0.0f;
}

}  // namespace

FineSync fine_sync(std::span<const std::complex<float>> signal, int nsps6, float t, float f) {
  FineSync out{t, f, t, f};
  const int n = kSyncSymbols * nsps6;
  const int len = static_cast<int>(signal.size());
  const int j_lo = std::max(0, round_half_away((t - 0.004f) * kRxSignalRate));
  const int j_hi = std::min(len - n, round_half_away((t + 0.004f) * kRxSignalRate));
  if (j_hi < j_lo || nsps6 < 64) return out;
  const int span = j_hi + n - j_lo;
  make_trial_rotations(span);
  Complex* w = state.trial.data();
  const float shift[3] = {-f, 0.0f, 0.0f};
  tweak_frequency(signal.data() + j_lo, state.shifted.data(), span, kRxSignalRate, shift);

  // Per sync symbol, the sum against its tone with the phase tied to the sample index, so that
  // moving the start by 4 samples only drops 4 products and adds 4.
  // Coherent over the 13 symbols: z_m against the continuous-phase reference is y_m turned by
  // the tone's phase at the start offset and by the reference's phase at the symbol.
  constexpr int kStarts = 13;  // ±24 samples in steps of 4
  std::array<const Complex*, kSyncSymbols> tones{};
  std::array<std::array<Complex, kSyncSymbols>, kStarts> turn{};
  const std::span<const Complex> refs = sync_refs();
  for (int m = 0; m < kSyncSymbols; ++m) {
    tones[m] = tone_ref(kSyncTones[m]).data();
    for (int step = 0; step < kStarts; ++step)
      turn[step][m] = tones[m][4 * step] * std::conj(refs[m * nsps6]);
  }
  double best = -1.0;
  int best_trial = 0;
  int best_start = j_lo;
  double best_power = -1.0;
  int power_trial = 0;
  int power_start = j_lo;
  for (int trial = -5; trial <= 5; ++trial) {
    // Shifted by -(f - 0.5·trial) Hz: the stretch at -f turned by the trial's offset.
    multiply(w, state.shifted.data(), &state.trial_rotations[(trial + 5) * state.trial_span], span);
    std::array<Complex, kSyncSymbols> y{};
    for (int m = 0; m < kSyncSymbols; ++m) y[m] = correlate(w + m * nsps6, tones[m], nsps6);
    for (int j = j_lo;; j += 4) {
      const int base = j - j_lo;
      const std::array<Complex, kSyncSymbols>& t = turn[base / 4];
      float re = 0.0f, im = 0.0f;
      double power = 0.0;
      for (int m = 0; m < kSyncSymbols; ++m) {
        re += y[m].real() * t[m].real() - y[m].imag() * t[m].imag();
        im += y[m].real() * t[m].imag() + y[m].imag() * t[m].real();
        power += std::norm(y[m]);
      }
      const double metric = static_cast<double>(re) * re + static_cast<double>(im) * im;
      if (metric > best) {
        best = metric;
        best_trial = trial;
        best_start = j;
      }
      if (power > best_power) {
        best_power = power;
        power_trial = trial;
        power_start = j;
      }
      if (j + 4 > j_hi) break;
      // Symbol starts are whole symbols apart, so the tone phase at an offset is the same for
      // every symbol; the offset stays within the first symbol (at most 52 samples).
      for (int m = 0; m < kSyncSymbols; ++m) {
        const Complex* out = w + base + m * nsps6;
        const Complex* in = out + nsps6;
        float re = 0.0f, im = 0.0f;
        for (int i = 0; i < 4; ++i) {
          const Complex t = tones[m][base + i];
          const Complex d = in[i] - out[i];
          re += d.real() * t.real() + d.imag() * t.imag();
          im += d.imag() * t.real() - d.real() * t.imag();
        }
        y[m] += Complex(re, im);
      }
    }
  }
  out.t = static_cast<float>(best_start) / kRxSignalRate;
  out.f = f - 0.5f * best_trial;
  out.power_t = static_cast<float>(power_start) / kRxSignalRate;
  out.power_f = f - 0.5f * power_trial;
  if (best > 0.0) out.f += residual_frequency(best_trial, best_start - j_lo, nsps6);
  if (best_power > 0.0) out.power_f += residual_frequency(power_trial, power_start - j_lo, nsps6);
  return out;
}

}  // namespace kvol
