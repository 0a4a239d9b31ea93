#include "modem/four2a.h"

#include <gtest/gtest.h>

#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

using cf = std::complex<float>;

// Both directions, on arrays that start on a SIMD boundary or 8 bytes past one, on the first call
// (planning must not disturb the values) and on the second (the cached plan).
TEST(Four2a, MatchesTheDftInBothDirectionsOnArraysOfAnyAlignment) {
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<cf> input(256), storage(258);
  for (auto& v : input) v = {g(rng), g(rng)};
  for (int sign : {-1, 1})
    for (int offset : {0, 1})
      for (int call = 0; call < 2; ++call) {
        cf* a = storage.data() + offset;
        std::copy(input.begin(), input.end(), a);
        kvol::four2a(a, 256, 1, sign, 1);
        for (int k = 0; k < 256; k += 5) {
          std::complex<double> dft;
          for (int j = 0; j < 256; ++j)
            dft += std::complex<double>(input[j]) *
                   std::polar(1.0, sign * std::numbers::pi * j * k / 128);
          ASSERT_NEAR(std::abs(a[k] - cf(dft)), 0.0, 2e-3)
              << "sign " << sign << " offset " << offset << " call " << call << " bin " << k;
        }
      }
}

TEST(Four2aDeathTest, StopsOnAnUnsupportedRequest) {
  std::vector<cf> a(16);
  EXPECT_DEATH(kvol::four2a(a.data(), 16, 1, -1, -1), "Unsupported request in four2a");
}

}  // namespace
