// In-place one-dimensional FFTs through a process-wide cache of FFTW plans, the receiver's
// shared transform. Receive side: runs on the capture thread only (the table has no lock).
#pragma once

#include <complex>

namespace kvol {

// Transforms a[] in place, unnormalised as FFTW makes them.
// isign -1 forward, +1 backward; iform 1, complex-to-complex (the only form the receiver uses).
// A plan is made once per (nfft, isign, address of a) and executed on a as a new array, so a
// must outlive its use here and keep the same address between calls to stay cached.
// ndim is 1 (one dimension); nfft 0 or below does nothing.
// Stops the program on an unsupported (isign, iform) pair or when the table is full.
void four2a(std::complex<float>* a, int nfft, int ndim, int isign, int iform);

// Makes FFTW's planner safe to call from several threads (idempotent, any thread). Everything
// in the modem that plans calls it first; the audio spectrum does the same.
void make_fftw_planner_thread_safe();

}  // namespace kvol
