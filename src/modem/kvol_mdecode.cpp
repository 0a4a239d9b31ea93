#include "modem/kvol_mdecode.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "modem/kvol_constants.h"
#include "modem/kvol_fine_sync.h"
#include "modem/kvol_mod.h"
#include "modem/kvol_payload_correlators.h"
#include "modem/kvol_sync_search.h"
#include "modem/kvol_tbcc_list_decoder.h"
#include "modem/rx_streams.h"
#include "modem/signal_helpers.h"
#include "modem/subtract_kvol.h"

namespace kvol {
namespace {

using Complex = std::complex<float>;

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
// and the frames to re-decode.
struct WindowState {
  int nsps = 0;
  int nsps6 = 0;
  int nfft = 0;
  std::vector<Complex> signal;  // nfft values; the first len are the window
  std::vector<Complex> work;    // len values shifted down by the candidate's frequency
  int len = 0;
  PayloadCorrelator correlator;
  std::array<Complex, kToneCount * kDataSymbols> coherent{};
  std::array<float, kToneCount * kDataSymbols> halves{};

  // The current call.
  int pos = 1;
  int nfa = 0;
  int nfb = 0;
  float fcentre = 0.0f;
  float ftol = 0.0f;
  float threshold = 0.0f;
  int debug = kNoListing;
  bool redecoding = false;
  int pass = 0;
  int iteration = 1;
  bool new_decode = false;
  int decode_counter = 0;  // frames decoded since the receive period began

  std::array<frame_decode_record, kMaxWindowDecodes> decodes;
  int decode_count = 0;
  std::array<RedecodeFrame, kMaxRedecodes> redecodes;
  int redecode_count = 0;
  bool redecode_requested = false;
  RedecodeFrame redecode_frame;
};

WindowState state;

int round_half_away(double x) { return static_cast<int>(std::lround(x)); }

// One line of the debug listing, in fixed columns; a value too wide for its columns fills them
// with asterisks, so that the columns stay aligned.
class ListingLine {
 public:
  void integer(long long value, int width) { put(width, "%*lld", width, value); }
  void fixed(double value, int width, int decimals) { put(width, "%*.*f", width, decimals, value); }
  void truth(bool value, int width) { put(width, "%*s", width, value ? "T" : "F"); }
  void blanks(int count) { put(count, "%*s", count, ""); }
  void text(const MessageField& field) {
    const MessageField formatted = copy_text80(view(field));
    if (length_ + kMessageChars > static_cast<int>(line_.size())) return;
    std::copy(formatted.begin(), formatted.end(), line_.begin() + length_);
    length_ += kMessageChars;
  }
  void print() const { std::printf("%.*s\n", length_, line_.data()); }

 private:
  template <typename... Args>
  void put(int width, const char* format, Args... args) {
    char piece[96];
    const int written = std::snprintf(piece, sizeof piece, format, args...);
    if (length_ + width > static_cast<int>(line_.size())) return;
    if (written == width) {
      std::copy_n(piece, width, line_.begin() + length_);
    } else {
      std::fill_n(line_.begin() + length_, width, '*');
    }
    length_ += width;
  }

  std::array<char, 192> line_{};
  int length_ = 0;
};

// What became of a decode at the receive streams, for the debug listing.
struct StreamDispatch {
  bool recent = false;   // decoded moments ago: no stream touched
  bool matched = false;  // a stream has it or continues with it
  bool same = false;     // a stream already has this frame
  int stream = 0;        // that stream, or the one it started, from 1; 0 for none
};

float frame_seconds() { return static_cast<float>(kSymbolsPerFrame * state.nsps6) / kRxSignalRate; }

std::array<std::int32_t, kSymbolsPerFrame> frame_tones(const DataSymbols& data) {
  std::array<std::int32_t, kSymbolsPerFrame> tones{};
  std::copy(kSyncTones.begin(), kSyncTones.end(), tones.begin());
  std::copy(data.begin(), data.end(), tones.begin() + kSyncSymbols);
  return tones;
}

// Shifts the frame that starts at dt down by its tone-0 frequency into the work copy; only the
// frame's own samples are shifted, since nothing else of the copy is read.
void shift_into_work(float frequency, float dt) {
  const int first = std::clamp(round_half_away(dt * kRxSignalRate), 0, state.len);
  const int last = std::min(state.len, first + kSymbolsPerFrame * state.nsps6);
  const float a[3] = {-frequency, 0.0f, 0.0f};
  tweak_frequency(state.signal.data() + first, state.work.data() + first, last - first,
                  kRxSignalRate, a);
}

float tone_power(const Complex* x, int tone) {
  return std::norm(correlate(x, tone_ref(tone).data(), state.nsps6));
}

// Powers of the four tones in the 13 sync symbols of the work copy starting at dt.
CandidateSums check_sync(float dt, float& snr) {
  CandidateSums sums;
  sums.matches = 0;
  const int start = round_half_away(dt * kRxSignalRate);
  for (int m = 0; m < kSyncSymbols; ++m) {
    const int s = start + m * state.nsps6;
    std::array<float, kToneCount> power{};
    if (s >= 0 && s + state.nsps6 <= state.len)
      for (int k = 0; k < kToneCount; ++k) power[k] = tone_power(&state.work[s], k);
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

// A new frame joins the stream it continues nearest in frequency, or starts a stream of its own;
// nothing is recorded when a stream already has it or it was decoded moments ago.
StreamDispatch hand_to_streams(const frame_decode_record& entry) {
  if (is_recent_decode(entry)) return {.recent = true};
  const float frame_length = frame_seconds();
  const std::span<const rx_stream_record> streams = active_streams();
  int best = -1;
  int best_gap = 1;
  float best_df = 1e30f;
  for (int i = 0; i < static_cast<int>(streams.size()); ++i) {
    const stream_match match = match_stream(streams[i], entry, frame_length);
    if (!match.match) continue;
    if (match.same) return {.matched = true, .same = true, .stream = i + 1};
    const float df = std::fabs(entry.frequency - streams[i].frequency);
    if (df < best_df) {
      best_df = df;
      best = i;
      best_gap = match.n;
    }
  }
  if (best >= 0) {
    extend_stream(best, entry, best_gap);
    return {.matched = true, .stream = best + 1};
  }
  const std::size_t before = streams.size();
  start_stream(entry);
  const std::size_t after = active_streams().size();
  return {.stream = after > before ? static_cast<int>(after) : 0};
}

// Debug 0 lists the frames that reached a stream as new; 1 or more lists every decode handed on,
// with what the decoder and the streams made of it.
void list_decode(const frame_decode_record& entry, int candidate, int matches,
                 const StreamDispatch& dispatch) {
  if (state.debug < 0) return;
  ListingLine line;
  if (state.debug == 0) {
    if (dispatch.recent || dispatch.same) return;
    line.integer(round_half_away(entry.frequency), 4);
  } else {
    for (const int value : {state.pass, state.iteration, candidate, state.decode_counter,
                            dispatch.stream, static_cast<int>(active_streams().size())})
      line.integer(value, 4);
    line.truth(dispatch.matched, 3);
    line.truth(state.redecoding, 3);
    line.fixed(entry.frequency, 7, 1);
    line.fixed(entry.dt, 7, 3);
    line.fixed(entry.time, 9, 3);
    line.integer(round_half_away(entry.snr - 20.0), 5);
    line.integer(matches, 4);
    line.integer(entry.symbol_errors, 4);
  }
  line.blanks(2);
  line.text(entry.text);
  line.print();
}

// Demodulates and decodes the payload of the window's newest decode entry from the work copy.
// candidate: the sync candidate's number in its pass, from 1; -1 for a no-sync attempt.
bool decode_candidate(const CandidateSums& sync, int candidate) {
  frame_decode_record& entry = state.decodes[state.decode_count - 1];
  const int offset = kSyncSymbols * state.nsps6 + round_half_away(entry.dt * kRxSignalRate);
  payload_correlate(state.correlator, std::span<const Complex>(state.work.data(), state.len),
                    std::max(offset, 0), state.coherent, state.halves);

  std::array<std::array<float, kToneCount>, kDataSymbols> power{};
  std::array<int, kDataSymbols> detected{};
  for (int s = 0; s < kDataSymbols; ++s) {
    for (int k = 0; k < kToneCount; ++k)
      power[s][k] = std::norm(state.coherent[k + kToneCount * s]);
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
  entry.time = static_cast<float>(state.pos - 1) / kRxSampleRate + entry.dt;

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

  list_decode(entry, candidate, sync.matches, hand_to_streams(entry));
  return true;
}

// Tries to catch a stream's next frame where it is predicted, without a sync candidate.
bool try_without_sync(const SearchRange& range) {
  const float window_time = static_cast<float>(state.pos - 1) / kRxSampleRate;
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
    return decode_candidate(CandidateSums{}, -1);
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
    if (decode_candidate(sums, index + 1)) {
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
  state.nfa = nfa;
  state.nfb = nfb;
  state.fcentre = fcentre;
  state.ftol = ftol;
  state.threshold = threshold;
  state.debug = debug;
  state.redecoding = redecoding;
  state.decode_count = 0;
  for (frame_decode_record& entry : state.decodes) entry = frame_decode_record{};
  prepare_payload_correlator(state.correlator, state.nsps6);

  analytic_downsample(iwave, window, state.signal.data(), nfft);
  std::fill(state.signal.begin() + state.len, state.signal.end(), Complex());
  if (redecoding) {
    const auto tones = frame_tones(tbcc_encode(frame.bits));
    subtract_kvol(std::span<Complex>(state.signal.data(), state.len), nfft, tones, state.nsps6,
                  frame.frequency, frame.time - static_cast<float>(pos - 1) / kRxSampleRate);
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
