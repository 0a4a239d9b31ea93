#include "modem/kvol_payload_correlators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <vector>

namespace {

using Complex = std::complex<float>;

constexpr int kNss = 192;

TEST(PayloadCorrelators, ToneOfEachSymbolShowsOnlyInItsOwnRowAndBothHalvesCount) {
  kvol::PayloadCorrelator correlator;
  kvol::prepare_payload_correlator(correlator, kNss);
  const std::array<int, 3> tones = {2, 0, 3};
  const int offset = 10;
  std::vector<Complex> x(offset + 3 * kNss);
  const double two_pi = 2.0 * std::acos(-1.0);
  for (int s = 0; s < 3; ++s)
    for (int j = 0; j < kNss; ++j)
      x[offset + s * kNss + j] =
          std::polar(1.0f, static_cast<float>(two_pi * tones[s] * j / kNss + 0.7));

  std::array<Complex, 4 * 46> a;
  std::array<float, 4 * 46> b;
  a.fill(Complex(5.0f, 5.0f));
  b.fill(5.0f);
  kvol::payload_correlate(correlator, x, offset, a, b);
  for (int s = 0; s < 3; ++s)
    for (int k = 0; k < 4; ++k) {
      if (k == tones[s]) {
        EXPECT_NEAR(std::abs(a[k + 4 * s]), kNss, 1e-2);
        EXPECT_NEAR(std::arg(a[k + 4 * s]), 0.7f, 1e-3);
        EXPECT_NEAR(b[k + 4 * s], kNss / std::sqrt(2.0f), 1e-2);
      } else {
        EXPECT_NEAR(std::abs(a[k + 4 * s]), 0.0f, 1e-2);
        // Half symbols are not orthogonal to tones an odd number of cycles away.
        EXPECT_LT(b[k + 4 * s], b[tones[s] + 4 * s]);
      }
    }
  // Symbols that do not fit in the signal are zero, not stale.
  for (int i = 4 * 3; i < 4 * 46; ++i) {
    EXPECT_EQ(a[i], Complex());
    EXPECT_EQ(b[i], 0.0f);
  }
  // The half-symbol measure is the root of both halves' powers: a tone heard in the second half
  // only counts as much as one in the first half only.
  for (int silent_half = 0; silent_half < 2; ++silent_half) {
    std::vector<Complex> y(kNss, Complex(1.0f, 0.0f));
    std::fill_n(y.begin() + silent_half * kNss / 2, kNss / 2, Complex());
    kvol::payload_correlate(correlator, y, 0, std::span(a).first(4), std::span(b).first(4));
    EXPECT_NEAR(std::abs(a[0]), kNss / 2, 1e-2) << silent_half;
    EXPECT_NEAR(b[0], kNss / 2, 1e-2) << silent_half;
  }
}

TEST(PayloadCorrelatorsDeathTest, RejectsBadShapes) {
  kvol::PayloadCorrelator correlator;
  std::vector<Complex> x(kNss);
  std::array<Complex, 4> a;
  std::array<float, 4> b;
  std::array<float, 8> b8;
  EXPECT_DEATH(kvol::payload_correlate(correlator, x, 0, a, b),
               "unprepared KVOL payload correlator");
  EXPECT_DEATH(kvol::prepare_payload_correlator(correlator, 191),
               "invalid KVOL payload symbol length");
  kvol::prepare_payload_correlator(correlator, kNss);
  EXPECT_DEATH(kvol::payload_correlate(correlator, x, -1, a, b), "invalid KVOL payload offset");
  EXPECT_DEATH(kvol::payload_correlate(correlator, x, 0, a, b8),
               "invalid KVOL payload correlation shape");
}

}  // namespace
