#pragma once
// Fine time and frequency sync of one decode candidate against the 13 sync symbols of a frame in
// the receiver's 6000 Hz signal. Receive thread only; one call at a time.

#include <complex>
#include <span>

namespace kvol {

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

}  // namespace kvol
