#include "modem/kvol_payload_correlators.h"

#include <algorithm>
#include <cmath>

#include "modem/kvol_fatal.h"

namespace kvol {

void prepare_payload_correlator(PayloadCorrelator& correlator, int nss) {
  if (nss <= 0 || nss % 2 != 0) fatal("invalid KVOL payload symbol length");
  if (correlator.nss == nss) return;
  correlator.nss = nss;
  correlator.cos_table.resize(4 * static_cast<std::size_t>(nss));
  correlator.sin_table.resize(4 * static_cast<std::size_t>(nss));
  const double two_pi = 2.0 * std::acos(-1.0);
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < nss; ++j) {
      const double phase = two_pi * k * j / nss;
      correlator.cos_table[k * nss + j] = static_cast<float>(std::cos(phase));
      correlator.sin_table[k * nss + j] = static_cast<float>(std::sin(phase));
    }
}

void payload_correlate(const PayloadCorrelator& correlator,
                       std::span<const std::complex<float>> signal, int offset,
                       std::span<std::complex<float>> a, std::span<float> b) {
  if (correlator.nss <= 0) fatal("unprepared KVOL payload correlator");
  if (offset < 0) fatal("invalid KVOL payload offset");
  if (a.size() % 4 != 0 || a.size() != b.size()) fatal("invalid KVOL payload correlation shape");
  std::fill(a.begin(), a.end(), std::complex<float>());
  std::fill(b.begin(), b.end(), 0.0f);

  const int nss = correlator.nss;
  const int half = nss / 2;
  const long long available = static_cast<long long>(signal.size()) - offset;
  const int symbols = static_cast<int>(
      std::clamp<long long>(available / nss, 0, static_cast<long long>(a.size() / 4)));
  for (int s = 0; s < symbols; ++s) {
    const std::complex<float>* x = signal.data() + offset + static_cast<std::size_t>(s) * nss;
    for (int k = 0; k < 4; ++k) {
      const float* c = &correlator.cos_table[k * nss];
      const float* sn = &correlator.sin_table[k * nss];
      // x · conj(e^{iθ}) = (xr·cos + xi·sin) + i(xi·cos − xr·sin), per half symbol.
      float re[2] = {0.0f, 0.0f};
      float im[2] = {0.0f, 0.0f};
      for (int h = 0; h < 2; ++h)
        for (int j = h * half; j < (h + 1) * half; ++j) {
          re[h] += x[j].real() * c[j] + x[j].imag() * sn[j];
          im[h] += x[j].imag() * c[j] - x[j].real() * sn[j];
        }
      a[k + 4 * s] = {re[0] + re[1], im[0] + im[1]};
      const double p1 = static_cast<double>(re[0]) * re[0] + static_cast<double>(im[0]) * im[0];
      const double p2 = static_cast<double>(re[1]) * re[1] + static_cast<double>(im[1]) * im[1];
      b[k + 4 * s] = static_cast<float>(std::sqrt(p1 + p2));
    }
  }
}

}  // namespace kvol
