#include "modem/kvol_mdecode.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "modem/kvol_constants.h"
#include "modem/kvol_mod.h"
#include "modem/kvol_payload_correlators.h"
#include "modem/kvol_sync_search.h"
#include "modem/kvol_tbcc_list_decoder.h"
#include "modem/kvol_vector_clones.h"
#include "modem/rx_streams.h"
#include "modem/signal_helpers.h"
#include "modem/subtract_kvol.h"

namespace kvol {
namespace {

using Complex = std::complex<float>;

constexpr float kSampleRate6 = 6000.0f;
constexpr float kSyncLimitDb = 5.0f;  // passes 1 and 2
constexpr int kSyncMatchesPass0 = 7;
constexpr int kSyncMatchesLater = 9;

// One candidate's sync measurements, carried into its payload decode.
struct CandidateSums {
  int matches = -1;  // -1: a no-sync attempt
  double signal = 0.0;
  double total = 0.0;
};

// The window being decoded and what one decode_block call accumulates: the complex signal (whose
// subtractions the later passes see), its frequency-shifted work copy, the decodes of this call,
// the frames to re-decode, and the counters of the receive period.
struct WindowState {
  int nsps = 0;
  int nsps6 = 0;
  int nfft = 0;
  std::vector<Complex> signal;   // nfft values; the first len are the window
  std::vector<Complex> work;     // len values shifted down by the candidate's frequency
  std::vector<Complex> shifted;  // fine sync's stretch shifted down by the candidate frequency
  std::vector<Complex> trial;    // the same moved to one trial frequency
  std::vector<Complex> trial_rotations;  // per trial offset, e^{i·2π·0.5·i·n/6000}
  int trial_span = 0;
  int len = 0;
  PayloadCorrelator correlator;
  std::array<Complex, 4 * kDataSymbols> coherent{};
  std::array<float, 4 * kDataSymbols> halves{};

  // The current call.
  int pos = 1;
  int debug = -1;
  int nfa = 0;
  int nfb = 0;
  float fcentre = 0.0f;
  float ftol = 0.0f;
  float threshold = 0.0f;
  int pass = 0;
  int iteration = 1;
  bool redecoding = false;
  bool new_decode = false;

  std::array<frame_decode_record, kMaxWindowDecodes> decodes;
  int decode_count = 0;
  std::array<RedecodeFrame, kMaxRedecodes> redecodes;
  int redecode_count = 0;
  bool redecode_requested = false;
  RedecodeFrame redecode_frame;
  int decode_counter = 0;  // decodes of the receive period, for the debug listing
};

WindowState state;

int round_half_away(double x) { return static_cast<int>(std::lround(x)); }

float frame_seconds() { return static_cast<float>(kSymbolsPerFrame * state.nsps6) / kSampleRate6; }

std::array<std::int32_t, kSymbolsPerFrame> frame_tones(const DataSymbols& data) {
  std::array<std::int32_t, kSymbolsPerFrame> tones{};
  std::copy(kSyncTones.begin(), kSyncTones.end(), tones.begin());
  std::copy(data.begin(), data.end(), tones.begin() + kSyncSymbols);
  return tones;
}

// Shifts the frame that starts at dt down by its tone-0 frequency into the work copy; only the
// frame's own samples are shifted, since nothing else of the copy is read.
void shift_into_work(float frequency, float dt) {
  const int first = std::clamp(round_half_away(dt * kSampleRate6), 0, state.len);
  const int last = std::min(state.len, first + kSymbolsPerFrame * state.nsps6);
  const float a[3] = {-frequency, 0.0f, 0.0f};
  tweak_frequency(state.signal.data() + first, state.work.data() + first, last - first,
                  kSampleRate6, a);
}

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
          std::polar(1.0f, static_cast<float>(two_pi * 0.5 * trial * (i + 1) / kSampleRate6));
}

// Σ x(n)·conj(ref(n)) over n values.
KVOL_VECTOR_CLONES Complex correlate(const Complex* x, const Complex* ref, int n) {
  const float* __restrict xs = reinterpret_cast<const float*>(x);
  const float* __restrict rs = reinterpret_cast<const float*>(ref);
  float re = 0.0f, im = 0.0f;
  for (int i = 0; i < n; ++i) {
    re += xs[2 * i] * rs[2 * i] + xs[2 * i + 1] * rs[2 * i + 1];
    im += xs[2 * i + 1] * rs[2 * i] - xs[2 * i] * rs[2 * i + 1];
  }
  return {re, im};
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
  const double offset_hz = slope * kSampleRate6 / (2.0 * pi * nsps6);
  return rms < 1.0 && std::fabs(offset_hz) <= 0.5 ? static_cast<float>(offset_hz) : 0.0f;
}

float tone_power(const Complex* x, int tone) {
  return std::norm(correlate(x, tone_ref(tone).data(), state.nsps6));
}

// Powers of the four tones in the 13 sync symbols of the work copy starting at dt.
CandidateSums check_sync(float dt, float& snr) {
  CandidateSums sums;
  sums.matches = 0;
  const int start = round_half_away(dt * kSampleRate6);
  for (int m = 0; m < kSyncSymbols; ++m) {
    const int s = start + m * state.nsps6;
    std::array<float, 4> power{};
    if (s >= 0 && s + state.nsps6 <= state.len)
      for (int k = 0; k < 4; ++k) power[k] = tone_power(&state.work[s], k);
    const int detected =
        static_cast<int>(std::max_element(power.begin(), power.end()) - power.begin());
    sums.signal += power[kSyncTones[m]];
    for (float p : power) sums.total += p;
    if (detected == kSyncTones[m]) ++sums.matches;
  }
  const double noise = (sums.total - sums.signal) / 3.0;
  snr = noise > 0.0 ? power_to_db(static_cast<float>(sums.signal / noise)) : -99.9f;
  return sums;
}

std::string output_text(const MessageField& text) {
  const MessageField formatted = copy_text80(view(text));
  return std::string(trimmed(formatted));
}

void hand_to_streams(const frame_decode_record& entry, int index, const CandidateSums& sums) {
  const float frame_length = frame_seconds();
  int stream_index = 0;
  bool matched = false;
  bool recent = is_recent_decode(entry);
  if (!recent) {
    const int count = static_cast<int>(active_streams().size());
    if (count == 0) {
      start_stream(entry);
    } else {
      int best = -1;
      int best_gap = 1;
      float best_df = 1e30f;
      bool same = false;
      for (int i = 0; i < count && !same; ++i) {
        const stream_match match = match_stream(active_streams()[i], entry, frame_length);
        if (!match.match) continue;
        if (match.same) {
          same = true;
          stream_index = i + 1;
          break;
        }
        const float df = std::fabs(entry.frequency - active_streams()[i].frequency);
        if (df < best_df) {
          best_df = df;
          best = i;
          best_gap = match.n;
        }
      }
      matched = same;
      if (!same) {
        if (best >= 0) {
          extend_stream(best, entry, best_gap);
          stream_index = best + 1;
        } else {
          start_stream(entry);
        }
      }
    }
  }
  if (state.debug < 0) return;
  if (state.debug == 0) {
    if (!recent && !matched)
      std::printf("%4d  %s\n", round_half_away(entry.frequency), output_text(entry.text).c_str());
    return;
  }
  std::printf("%4d%4d%4d%4d%4d%4d%3s%3s%7.1f%7.3f%9.3f%5d%4d%4d  %s\n", state.pass, state.iteration,
              index, state.decode_counter, stream_index, static_cast<int>(active_streams().size()),
              matched ? "T" : "F", state.redecoding ? "T" : "F", entry.frequency, entry.dt,
              entry.time, round_half_away(entry.snr - 20.0f), sums.matches, entry.symbol_errors,
              output_text(entry.text).c_str());
}

// Demodulates and decodes the payload of the newest window_decodes entry from the work copy.
bool decode_candidate(int index, const CandidateSums& sync) {
  frame_decode_record& entry = state.decodes[state.decode_count - 1];
  const int offset = kSyncSymbols * state.nsps6 + round_half_away(entry.dt * kSampleRate6);
  payload_correlate(state.correlator, std::span<const Complex>(state.work.data(), state.len),
                    std::max(offset, 0), state.coherent, state.halves);

  std::array<std::array<float, 4>, kDataSymbols> power{};
  std::array<int, kDataSymbols> detected{};
  for (int s = 0; s < kDataSymbols; ++s) {
    for (int k = 0; k < 4; ++k) power[s][k] = std::norm(state.coherent[k + 4 * s]);
    detected[s] =
        static_cast<int>(std::max_element(power[s].begin(), power[s].end()) - power[s].begin());
  }

  PayloadBits bits{};
  const bool decoded = tbcc_decode_frame(state.coherent, state.halves, bits);
  entry.text = blank_field<kMessageChars>();
  if (!decoded) return false;

  PayloadFrame frame;
  for (int i = 0; i < kPayloadBits; ++i) frame[i] = bits[i] ? '1' : '0';
  const UnpackedText unpacked = unpack_frames(std::span<const PayloadFrame>(&frame, 1));
  if (!unpacked.allOk) return false;
  entry.text = unpacked.text;
  entry.join_flag = unpacked.join ? 1 : 0;
  entry.final = unpacked.final ? 1 : 0;

  ++state.decode_counter;
  const DataSymbols data = tbcc_encode(bits);
  const bool no_sync = sync.matches < 0;
  int errors = no_sync ? 0 : kSyncSymbols - sync.matches;
  double signal = sync.signal;
  double total = sync.total;
  for (int s = 0; s < kDataSymbols; ++s) {
    if (detected[s] != data[s]) ++errors;
    signal += power[s][data[s]];
    for (float p : power[s]) total += p;
  }
  const double noise = (total - signal) / 3.0;
  if (noise > 0.0) entry.snr = power_to_db(static_cast<float>(signal / noise));
  entry.symbol_errors = errors;
  entry.symbols_checked = no_sync ? kDataSymbols : kSymbolsPerFrame;
  entry.time = static_cast<float>(state.pos - 1) / 12000.0f + entry.dt;

  for (int i = 0; i < state.decode_count - 1; ++i)
    if (state.decodes[i].text == entry.text &&
        std::fabs(state.decodes[i].time - entry.time) < 0.032f)
      return true;
  if (state.pass > 0 && near_sync_peak(entry.frequency, entry.dt)) return true;

  const auto tones = frame_tones(data);
  subtract_kvol(std::span<Complex>(state.signal.data(), state.len), state.nfft, tones, state.nsps6,
                entry.frequency, entry.dt);
  invalidate_sync_map();
  state.new_decode = true;
  if (state.redecode_count < kMaxRedecodes)
    state.redecodes[state.redecode_count++] = {entry.frequency, entry.time, bits};

  hand_to_streams(entry, index, sync);
  return true;
}

// Tries to catch a stream's next frame where it is predicted, without a sync candidate.
bool try_without_sync(const SearchRange& range) {
  const float window_time = static_cast<float>(state.pos - 1) / 12000.0f;
  const float frame_length = frame_seconds();
  for (const rx_stream_record& stream : active_streams()) {
    if (std::fabs(stream.frequency - range.centre) > range.half_width) continue;
    if (std::fabs(window_time - stream.last_time - frame_length) > 0.1f) continue;
    const float dt = stream.last_time + frame_length - window_time;
    if (dt < 0.0f || state.decode_count >= kMaxWindowDecodes) return false;
    frame_decode_record& entry = state.decodes[state.decode_count++];
    entry.frequency = stream.frequency;
    entry.dt = dt;
    shift_into_work(entry.frequency, dt);
    return decode_candidate(-1, CandidateSums{});
  }
  return false;
}

// Picks, refines, checks and decodes the candidates of one pass.
void refine_candidates(int pass) {
  state.pass = pass;
  const SearchRange range = set_search_range(pass, state.fcentre, state.ftol, state.nfa, state.nfb);
  if (!range.ok) return;
  const int count =
      pass == 0 ? std::clamp(round_half_away(range.half_width / (14.0f * kSyncBinWidth)), 2, 8) : 2;
  begin_candidate_pass(pass, range);
  const std::span<const Complex> window(state.signal.data(), state.len);
  bool decoded = false;
  for (int index = 0; index < count; ++index) {
    float t = 0.0f, f = 0.0f;
    if (!pick_sync_candidate(pass, range, t, f)) break;
    const FineSync sync = fine_sync(window, state.nsps6, t, f);
    if (state.decode_count >= kMaxWindowDecodes) return;
    frame_decode_record& entry = state.decodes[state.decode_count++];
    // The check's limits were set for the sync symbols' best summed power in the search box.
    entry.frequency = sync.power_f;
    entry.dt = sync.power_t;
    shift_into_work(sync.power_f, sync.power_t);
    float snr = 0.0f;
    CandidateSums sums = check_sync(sync.power_t, snr);
    entry.snr = snr;
    const bool passes = pass == 0 ? sums.matches >= kSyncMatchesPass0 && snr >= state.threshold
                                  : sums.matches >= kSyncMatchesLater && snr >= kSyncLimitDb;
    if (!passes) continue;
    // That peak wanders across the box in noise, so the frame is read, and measured, where the
    // coherent sum peaks.
    entry.frequency = sync.f;
    entry.dt = sync.t;
    shift_into_work(sync.f, sync.t);
    sums = check_sync(sync.t, snr);
    entry.snr = snr;
    if (decode_candidate(index, sums)) {
      if (pass == 0) record_sync_peak(entry.frequency, entry.dt);
      decoded = true;
    }
  }
  if (decoded) return;
  const int before = state.decode_count;
  if (try_without_sync(range) && pass == 0)
    record_sync_peak(state.decodes[before].frequency, state.decodes[before].dt);
}

// Runs the passes, and once more over a new map when they subtracted a frame, since what the
// frame hid may now show.
void run_passes(std::span<const Complex> signal, std::initializer_list<int> passes) {
  for (int iteration = 1; iteration <= 2; ++iteration) {
    state.iteration = iteration;
    state.new_decode = false;
    if (!sync_map_valid()) sync_zoom_dft(signal);
    for (const int pass : passes) refine_candidates(pass);
    if (!state.new_decode) return;
  }
}

void make_arrays(int nsps, int nfft, int window) {
  if (nsps != state.nsps) {
    state.nsps = nsps;
    state.nsps6 = nsps / 2;
    set_sync_geometry(state.nsps6);
  }
  if (nfft != state.nfft) {
    state.nfft = nfft;
    state.signal.assign(nfft, Complex());
  }
  state.len = window / 2;
  if (static_cast<int>(state.work.size()) < state.len) state.work.assign(state.len, Complex());
}

}  // namespace

FineSync fine_sync(std::span<const std::complex<float>> signal, int nsps6, float t, float f) {
  FineSync out{t, f, t, f};
  const int n = kSyncSymbols * nsps6;
  const int len = static_cast<int>(signal.size());
  const int j_lo = std::max(0, round_half_away((t - 0.004f) * kSampleRate6));
  const int j_hi = std::min(len - n, round_half_away((t + 0.004f) * kSampleRate6));
  if (j_hi < j_lo || nsps6 < 64) return out;
  const int span = j_hi + n - j_lo;
  make_trial_rotations(span);
  Complex* w = state.trial.data();
  const float shift[3] = {-f, 0.0f, 0.0f};
  tweak_frequency(signal.data() + j_lo, state.shifted.data(), span, kSampleRate6, shift);

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
  out.t = static_cast<float>(best_start) / kSampleRate6;
  out.f = f - 0.5f * best_trial;
  out.power_t = static_cast<float>(power_start) / kSampleRate6;
  out.power_f = f - 0.5f * power_trial;
  if (best > 0.0) out.f += residual_frequency(best_trial, best_start - j_lo, nsps6);
  if (best_power > 0.0) out.power_f += residual_frequency(power_trial, power_start - j_lo, nsps6);
  return out;
}

void fine_sync(std::span<const std::complex<float>> signal, int nsps6, float t, float f,
               float& t_out, float& f_out) {
  const FineSync sync = fine_sync(signal, nsps6, t, f);
  t_out = sync.t;
  f_out = sync.f;
}

void request_redecode(const RedecodeFrame& frame) {
  state.redecode_requested = true;
  state.redecode_frame = frame;
}

std::span<const RedecodeFrame> redecode_list() {
  return std::span<const RedecodeFrame>(state.redecodes.data(), state.redecode_count);
}

void decode_block(int pos, int marker, const std::int16_t* iwave, int window, int nsps, int debug,
                  int nfa, int nfb, float fcentre, float ftol, float threshold) {
  const bool redecoding = state.redecode_requested;
  const RedecodeFrame frame = state.redecode_frame;
  state.redecode_requested = false;
  state.redecode_count = 0;
  if (pos == marker && !redecoding) {
    state.decode_counter = 0;
    reset_streams();
  }
  long long level = 0;
  for (int i = 0; i < window; ++i) level += std::abs(static_cast<int>(iwave[i]));
  if (level == 0) return;

  const int nfft = analytic_downsample_length(window);
  make_arrays(nsps, nfft, window);
  state.pos = pos;
  state.debug = debug;
  state.nfa = nfa;
  state.nfb = nfb;
  state.fcentre = fcentre;
  state.ftol = ftol;
  state.threshold = threshold;
  state.redecoding = redecoding;
  state.decode_count = 0;
  for (frame_decode_record& entry : state.decodes) entry = frame_decode_record{};
  prepare_payload_correlator(state.correlator, state.nsps6);

  analytic_downsample(iwave, window, state.signal.data(), nfft);
  std::fill(state.signal.begin() + state.len, state.signal.end(), Complex());
  if (redecoding) {
    const auto tones = frame_tones(tbcc_encode(frame.bits));
    subtract_kvol(std::span<Complex>(state.signal.data(), state.len), nfft, tones, state.nsps6,
                  frame.frequency, frame.time - static_cast<float>(pos - 1) / 12000.0f);
  }
  set_sync_hull(fcentre, ftol, nfa, nfb);
  clear_sync_peaks();
  const std::span<const Complex> signal(state.signal.data(), state.len);

  run_passes(signal, {0});
  run_passes(signal, {1, 2});
  // Passes 1 and 2 blank the map where they pick.
  invalidate_sync_map();
}

}  // namespace kvol
