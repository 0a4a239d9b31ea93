#include "modem/signal_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace {

using cf = std::complex<float>;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

TEST(PowerToDb, FloorsAtMinus99) {
  const std::pair<float, float> cases[] = {{0.0f, -99.0f},      {-5.0f, -99.0f}, {1.0e-10f, -99.0f},
                                           {2.0e-10f, -96.99f}, {1.0f, 0.0f},    {100.0f, 20.0f}};
  for (const auto& [power, db] : cases) EXPECT_NEAR(kvol::power_to_db(power), db, 0.01f) << power;
}

// A real 1500 Hz tone comes out at 6000 Hz as one exponential at +1500 Hz: its mirror is gone,
// and tones at 4500 Hz and 3100 Hz, which would fold to -1500 Hz and -2900 Hz, are filtered out.
TEST(AnalyticDownsample, RealToneBecomesOnePositiveExponential) {
  constexpr int npts = 28320, nfft = 32768;
  std::vector<std::int16_t> wave(npts);
  for (int i = 0; i < npts; ++i) {
    wave[i] = std::int16_t(std::lround(10000.0 * std::cos(kTwoPi * 1500.0 * i / 12000.0) +
                                       5000.0 * std::cos(kTwoPi * 4500.0 * i / 12000.0) +
                                       5000.0 * std::cos(kTwoPi * 3100.0 * i / 12000.0)));
  }
  std::vector<cf> c(nfft, cf{7.0f, 7.0f});
  kvol::analytic_downsample(wave.data(), npts, c.data(), nfft);
  // Correlation with a unit exponential per sample, away from the ends where the block edges leak.
  const auto amplitude = [&](double hz) {
    std::complex<double> sum;
    for (int i = 500; i < npts / 2 - 500; ++i)
      sum += std::complex<double>(c[i]) * std::polar(1.0, -kTwoPi * hz * i / 6000.0);
    return std::abs(sum) / (npts / 2 - 1000);
  };
  EXPECT_NEAR(amplitude(1500.0), 10000.0 / 32767.0, 2e-3);
  for (double hz : {-1500.0, 4500.0, -2900.0}) EXPECT_LT(amplitude(hz), 1e-3) << hz;
  for (int i = npts; i < nfft; ++i) ASSERT_EQ(c[i], cf{}) << i;
}

TEST(AnalyticDownsampleDeathTest, StopsWhenTheTransformIsShorterThanTheInput) {
  std::vector<std::int16_t> wave(100);
  std::vector<cf> c(64);
  EXPECT_DEATH(kvol::analytic_downsample(wave.data(), 100, c.data(), 64), "transform length");
}

}  // namespace
