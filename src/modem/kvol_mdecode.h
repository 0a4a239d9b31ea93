#pragma once
// Decoding of one analysis window of received audio: the window's 6000 Hz signal, the sync
// search passes over it, fine time and frequency sync of each candidate, the sync check, the
// payload correlation and list decoding, the subtraction of every new frame, and the hand-over
// of frames to the receive streams. Receive thread only; one call at a time.

#include <complex>
#include <cstdint>
#include <span>

#include "modem/kvol_tbcc_encoder.h"

namespace kvol {

inline constexpr int kMaxWindowDecodes = 100;
inline constexpr int kMaxRedecodes = 16;

// A frame decoded and subtracted in a window, for the re-decode of the earlier windows.
struct RedecodeFrame {
  float frequency = 0.0f;  // Hz
  float time = 0.0f;       // s from the first sample since the last reset
  PayloadBits bits{};
};

// Decodes the window of `window` samples at iwave, which starts at 1-based sample pos of the
// receive buffer. marker is the receive period's first sample (its first window resets the
// streams), threshold the pass-0 sync SNR limit in dB; debug below 0 lists nothing, 0 and up
// print one line per decode on standard output.
void decode_block(int pos, int marker, const std::int16_t* iwave, int window, int nsps, int debug,
                  int nfa, int nfb, float fcentre, float ftol, float threshold);

// Makes the next decode_block a re-decode: the frame is removed from its window first.
void request_redecode(const RedecodeFrame& frame);
// The frames the last decode_block decoded and subtracted (at most 16).
std::span<const RedecodeFrame> redecode_list();

// A candidate refined against its sync symbols, start times in s within the signal and tone-0
// frequencies in Hz, two ways over the same trials: where the sync symbols' powers summed one by
// one peak (what the sync check's limit was set for), and where their correlation summed
// coherently peaks (a far sharper estimate, at which the payload is read).
struct FineSync {
  float power_t = 0.0f;
  float power_f = 0.0f;
  float t = 0.0f;
  float f = 0.0f;
};

// Refines a candidate's start time t and frequency f: ±4 ms in 4-sample steps, ±2.5 Hz in
// 0.5 Hz steps, then each estimate's residual frequency from the phase slope across the sync
// symbols. Uses the sync search's references, which set_sync_geometry(nsps6) must have made.
FineSync fine_sync(std::span<const std::complex<float>> signal, int nsps6, float t, float f);
// The coherent estimate alone.
void fine_sync(std::span<const std::complex<float>> signal, int nsps6, float t, float f,
               float& t_out, float& f_out);

}  // namespace kvol
