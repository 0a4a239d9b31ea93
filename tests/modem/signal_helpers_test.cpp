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
  EXPECT_EQ(kvol::power_to_db(0.0f), -99.0f);
  EXPECT_EQ(kvol::power_to_db(-5.0f), -99.0f);
  EXPECT_EQ(kvol::power_to_db(1.0e-10f), -99.0f);
  EXPECT_FLOAT_EQ(kvol::power_to_db(1.0f), 0.0f);
  EXPECT_FLOAT_EQ(kvol::power_to_db(100.0f), 20.0f);
  EXPECT_NEAR(kvol::power_to_db(2.0e-10f), -96.99f, 0.01f);
}

TEST(TweakFrequency, ConstantOffsetRotatesEverySampleIncludingTheFirst) {
  // No offset leaves the samples as they were, into a separate output as well.
  for (float hz : {0.0f, 31.25f}) {
    std::vector<cf> in(6000, cf{1.0f, 0.0f}), out(6000);
    kvol::tweak_frequency(in.data(), out.data(), 6000, 6000.0f, {hz, 0.0f, 0.0f});
    for (int i : {0, 1, 100, 5999}) {
      const double phase = kTwoPi * hz * (i + 1) / 6000.0;
      EXPECT_NEAR(out[i].real(), std::cos(phase), 2e-3) << hz << " Hz, sample " << i;
      EXPECT_NEAR(out[i].imag(), std::sin(phase), 2e-3) << hz << " Hz, sample " << i;
    }
  }
}

// Correlation of the 6000 Hz output with a unit exponential at hz, per sample.
cf tone_amplitude(const std::vector<cf>& c, int from, int to, double hz) {
  std::complex<double> sum;
  for (int i = from; i < to; ++i) {
    sum += std::complex<double>(c[i]) * std::polar(1.0, -kTwoPi * hz * i / 6000.0);
  }
  return cf(sum / double(to - from));
}

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

  const int half = npts / 2;
  // Away from the ends, where the block edges leak.
  const cf plus = tone_amplitude(c, 500, half - 500, 1500.0);
  EXPECT_NEAR(std::abs(plus), 10000.0 / 32767.0, 2e-3);
  EXPECT_LT(std::abs(tone_amplitude(c, 500, half - 500, -1500.0)), 1e-3);
  // 4500 Hz would fold to -1500 Hz at 6000 Hz; it must be gone.
  EXPECT_LT(std::abs(tone_amplitude(c, 500, half - 500, -1500.0 + 6000.0)), 1e-3);
  // So would 3100 Hz, just above the kept band, to -2900 Hz.
  EXPECT_LT(std::abs(tone_amplitude(c, 500, half - 500, -2900.0)), 1e-3);
  for (int i = npts; i < nfft; ++i) ASSERT_EQ(c[i], cf{}) << i;
}

TEST(AnalyticDownsampleDeathTest, StopsWhenTheTransformIsShorterThanTheInput) {
  std::vector<std::int16_t> wave(100);
  std::vector<cf> c(64);
  EXPECT_DEATH(kvol::analytic_downsample(wave.data(), 100, c.data(), 64), "transform length");
}

}  // namespace
