#pragma once
// Payload correlators of the KVOL receiver: per data symbol, the correlation with each of the four
// tones over the whole symbol (coherent) and the root-sum-square of the two half-symbol
// correlations (robust to phase drift). Receive thread only.

#include <complex>
#include <span>
#include <vector>

namespace kvol {

// Cosine and sine tables of the four tones over one symbol of nss samples.
struct PayloadCorrelator {
  int nss = 0;
  std::vector<float> cos_table;  // 4 tones × nss, tone-major
  std::vector<float> sin_table;
};

// Builds the tables for nss samples per symbol (positive and even); keeps them when unchanged.
void prepare_payload_correlator(PayloadCorrelator& correlator, int nss);

// Correlates the symbols that start at `offset` in `signal` (as many as fit, at most the outputs'
// symbol count). a: complex, b: real, both tone index first (k + 4·s); zeroed first.
void payload_correlate(const PayloadCorrelator& correlator,
                       std::span<const std::complex<float>> signal, int offset,
                       std::span<std::complex<float>> a, std::span<float> b);

}  // namespace kvol
