#pragma once
// The receive scheduler: handed the whole receive buffer after every captured block, it decodes
// each analysis window that has become complete since the last call (a quarter frame apart),
// re-examines the three earlier windows with every new frame removed, and starts a new receive
// period when the buffer was replaced by a shorter one. Receive thread only; one call at a time.

#include <cstdint>

namespace kvol {

// Samples per symbol at 12 000 Hz the scheduler accepts: 240, 320, 384 or 480.
bool rkvol_supported_nsps(int nsps);
// Window advance (a quarter frame) and window length (advance plus one frame) in samples.
int rkvol_step(int nsps);
int rkvol_window(int nsps);

// iwave: the receive buffer of npts samples at 12 000 Hz since the last reset. nfa..nfb (Hz)
// clamps the wide search modes, fcentre ± ftol is the narrow one. A call with a buffer no longer
// than at the last reset (the facade resets with one sample) starts a new receive period and
// decodes nothing; longer buffers decode every window they complete.
void rkvol_sub_entry(const std::int16_t* iwave, int npts, int nsps, int nfa, int nfb, float fcentre,
                     float ftol);

}  // namespace kvol
