#pragma once
// Sync search of the KVOL receiver: a map of how strongly the 13 sync symbols of a frame show at
// each start time and tone-0 frequency of a window's 6000 Hz signal, computed for the searched
// bins only by a chirp-z zoom DFT, and the picking of decode candidates from that map.
// Receive thread only; one call at a time.

#include <complex>
#include <span>

#include "modem/kvol_constants.h"

namespace kvol {

// Zoom grid: 8192 points at 6000 Hz, so one bin is 0.7324 Hz; start columns 12 samples apart.
inline constexpr int kSyncZoomLength = 8192;
inline constexpr int kSyncTopBin = kSyncZoomLength / 2;
inline constexpr int kSyncColumnStep = 12;
inline constexpr float kSyncBinWidth = kRxSignalRate / kSyncZoomLength;
inline constexpr int kSyncPeakCapacity = 16;

// One search mode's frequency range and its bins; ok false when the range is empty.
struct SearchRange {
  float centre = 0.0f;
  float half_width = 0.0f;
  int i1 = 0;
  int i2 = 0;
  bool ok = false;
};

// Bins i1..i2 of centre ± half_width, optionally clamped to [nfa, nfb] Hz; returns ok.
bool search_bins(float centre, float half_width, int nfa, int nfb, bool clamp, float df, int imin,
                 int imax, int& i1, int& i2);
// Mode 0: fcentre ± ftol unclamped; 1: 1350 ± 150 Hz; 2: 1650 ± 150 Hz, both clamped.
SearchRange set_search_range(int mode, float fcentre, float ftol, int nfa, int nfb);

// Makes the sync and tone references for nsps6 samples per symbol at 6000 Hz (when it changed).
void set_sync_geometry(int nsps6);
// The 13 sync symbols with tone 0 at 0 Hz, phase running on across symbols: 13 · nsps6 samples.
std::span<const std::complex<float>> sync_refs();
// Tone k (0..3) over one symbol: exp(i·2π·k·j/nsps6).
std::span<const std::complex<float>> tone_ref(int k);

// Sets the bins the map covers: the hull of the three search modes' ranges.
void set_sync_hull(float fcentre, float ftol, int nfa, int nfb);
// Fills the map from the window's signal (its first window/2 samples) and marks it valid.
void sync_zoom_dft(std::span<const std::complex<float>> signal);
bool sync_map_valid();
void invalidate_sync_map();

// Prepares one candidate pass: pass 0 opens its mask, passes 1 and 2 blank the recorded peaks.
void begin_candidate_pass(int pass, const SearchRange& range);
// The next candidate of the pass (start time in s within the window, tone-0 frequency in Hz);
// false when nothing is left to pick. The pick's surroundings are excluded from later picks.
bool pick_sync_candidate(int pass, const SearchRange& range, float& t, float& f);

void clear_sync_peaks();
void record_sync_peak(float frequency, float time);
// Whether a recorded peak lies within 3 Hz and 0.05 s.
bool near_sync_peak(float frequency, float time);

// Transform slots of 2048, 4096 and 8192 points with measured plans; returns 1 with log2n set
// when the slot is ready, else 0.
int get_fft_slot(int n, int with_backward, int& log2n);
void free_fft_slot(int slot);
// Frees the transform slots and the chirp kernel; the receive streams and caches stay.
void kvol_decoder_release();

}  // namespace kvol
