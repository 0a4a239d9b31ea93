#include "modem/four2a.h"

#include <gtest/gtest.h>

#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

using cf = std::complex<float>;

cf direct_dft(const std::vector<cf>& x, int k, int sign) {
  std::complex<double> sum;
  const int n = int(x.size());
  for (int j = 0; j < n; ++j)
    sum += std::complex<double>(x[j]) * std::polar(1.0, sign * 2.0 * std::numbers::pi * j * k / n);
  return cf(sum);
}

// Both directions, on arrays that start on a SIMD boundary or 8 bytes past one, on the first call
// (planning must not disturb the values) and on the second (the cached plan).
TEST(Four2a, MatchesTheDftInBothDirectionsOnArraysOfAnyAlignment) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<cf> input(256);
  for (auto& v : input) v = {g(rng), g(rng)};
  std::vector<cf> storage(258);
  for (int sign : {-1, 1})
    for (int offset : {0, 1})
      for (int call = 0; call < 2; ++call) {
        cf* a = storage.data() + offset;
        std::copy(input.begin(), input.end(), a);
        kvol::four2a(a, 256, 1, sign, 1);
        for (int k = 0; k < 256; k += 5)
          ASSERT_NEAR(std::abs(a[k] - direct_dft(input, k, sign)), 0.0, 2e-3)
              << "sign " << sign << " offset " << offset << " call " << call << " bin " << k;
      }
}

TEST(Four2aDeathTest, StopsOnAnUnsupportedRequest) {
  std::vector<cf> a(16);
  EXPECT_DEATH(kvol::four2a(a.data(), 16, 1, -1, -1), "Unsupported request in four2a");
}

}  // namespace
