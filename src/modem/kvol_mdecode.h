#pragma once
// Decoding of one analysis window of received audio: the window's 6000 Hz signal, the sync
// search passes over it, the sync check of each finely synced candidate (kvol_fine_sync), the
// payload read and list decoding, the subtraction of every new frame, and the hand-over of frames
// to the receive streams. Receive thread only; one call at a time.

#include <cstdint>
#include <span>

#include "modem/kvol_tbcc_encoder.h"

namespace kvol {

inline constexpr int kMaxWindowDecodes = 100;
inline constexpr int kNoListing = -1;  // debug switch of decode_block: nothing printed
inline constexpr int kMaxRedecodes = 16;

// A frame decoded and subtracted in a window, for the re-decode of the earlier windows.
struct RedecodeFrame {
  float frequency = 0.0f;  // Hz
  float time = 0.0f;       // s from the first sample since the last reset
  PayloadBits bits{};
};

// Decodes the window of `window` samples at iwave, which starts at 1-based sample pos of the
// receive buffer. marker is the receive period's first sample (its first window resets the
// streams), threshold the pass-0 sync SNR limit in dB.
// debug lists decodes on standard output, one line each: below 0 nothing; 0 the frequency and
// text of each frame new to the streams, "(i4,2x,a)"; 1 or more every decode handed to the
// streams, "(6i4,2L3,f7.1,f7.3,f9.3,i5,i4,i4,2x,a)": pass, iteration, candidate (-1 without sync),
// decode count of the receive period, stream (from 1; 0 none), stream count, matched a stream,
// re-decode, frequency, dt, time, SNR - 20 dB, sync matches, symbol errors, text.
void decode_block(int pos, int marker, const std::int16_t* iwave, int window, int nsps, int debug,
                  int nfa, int nfb, float fcentre, float ftol, float threshold);

// Makes the next decode_block a re-decode: the frame is removed from its window first.
void request_redecode(const RedecodeFrame& frame);
// The frames the last decode_block decoded and subtracted (at most 16).
std::span<const RedecodeFrame> redecode_list();

}  // namespace kvol
