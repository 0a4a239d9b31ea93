#include "modem/four2a.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

using cf = std::complex<float>;

std::vector<cf> random_signal(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<cf> x(n);
  for (auto& v : x) v = {g(rng), g(rng)};
  return x;
}

cf direct_dft(const std::vector<cf>& x, int k, int sign) {
  std::complex<double> sum;
  const int n = int(x.size());
  for (int j = 0; j < n; ++j) {
    const double phase = sign * 2.0 * std::numbers::pi * double(j) * k / n;
    sum += std::complex<double>(x[j]) * std::polar(1.0, phase);
  }
  return cf(sum);
}

TEST(Four2a, ForwardAndBackwardMatchTheDftOnTheFirstCall) {
  for (int sign : {-1, 1}) {
    const auto input = random_signal(96, 7 + sign);
    auto a = input;  // planning must not disturb these values
    kvol::four2a(a.data(), 96, 1, sign, 1);
    for (int k = 0; k < 96; ++k) {
      const cf want = direct_dft(input, k, sign);
      EXPECT_NEAR(a[k].real(), want.real(), 1e-3) << "sign " << sign << " bin " << k;
      EXPECT_NEAR(a[k].imag(), want.imag(), 1e-3) << "sign " << sign << " bin " << k;
    }
  }
}

TEST(Four2a, ExecutesCorrectlyOnArraysOfAnyAlignment) {
  // Vectors of complex floats may start 8 bytes past a SIMD boundary.
  const auto input = random_signal(256, 3);
  std::vector<cf> storage(258);
  for (int offset : {0, 1}) {
    cf* a = storage.data() + offset;
    for (int call = 0; call < 2; ++call) {  // the second call runs the cached plan
      std::copy(input.begin(), input.end(), a);
      kvol::four2a(a, 256, 1, -1, 1);
      for (int k = 0; k < 256; k += 5) {
        EXPECT_NEAR(std::abs(a[k] - direct_dft(input, k, -1)), 0.0, 2e-3)
            << "offset " << offset << " call " << call << " bin " << k;
      }
    }
  }
}

TEST(Four2aDeathTest, StopsOnAnUnsupportedRequest) {
  std::vector<cf> a(16);
  EXPECT_DEATH(kvol::four2a(a.data(), 16, 1, -1, -1), "Unsupported request in four2a");
}

}  // namespace
