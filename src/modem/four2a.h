// In-place one-dimensional FFTs through a process-wide cache of FFTW plans, the receiver's
// shared transform. Receive side: runs on the capture thread only (the table has no lock).
#pragma once

#include <complex>

namespace kvol {

// Transforms a[] in place, unnormalised as FFTW makes them.
// isign -1 forward, +1 backward; iform 1 complex-to-complex, 0 real-to-complex (isign -1 only),
// -1 complex-to-real (isign +1 only). The real forms read and write nfft reals in the first
// floats of a, which holds nfft/2 + 1 complex values: the spectrum's bins 0 to nfft/2.
// A plan is made once per (nfft, isign, iform, address of a) on a itself, with a's first values
// (nfft complex, or nfft/2 + 1 for the real forms, up to 16 385) put back after planning, and
// executed on a, so a must keep its address between calls to stay cached.
// nfft 0 does nothing. nfft below 0 transforms nothing and empties the cache, destroying every
// plan unless ndim is -999, when they are only forgotten (for use once FFTW itself is torn down);
// otherwise ndim is not read.
// Stops the program on an unsupported (isign, iform) pair or when the table is full.
void four2a(std::complex<float>* a, int nfft, int ndim, int isign, int iform);

// Selects the planner flags of the plans four2a makes from now on: 0 estimates (the default:
// no plan measures on the capture thread), 1 estimate-patient, 2 measure, 3 patient,
// 4 exhaustive, anything else estimates. Receive side, like four2a.
void set_planner_patience(int patience);

// Makes FFTW's planner safe to call from several threads (idempotent, any thread). Everything
// in the modem that plans calls it first; the audio spectrum does the same.
void make_fftw_planner_thread_safe();

}  // namespace kvol
